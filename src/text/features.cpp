// The feature-list parser: items, signs, quoted and unquoted tags, values and
// their messages, tag packing, and the quoted form that messages show text in.
#include "text/features.h"

#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/unicode_tables.h"
#include "text/utf.h"

namespace tesvo {

namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_start(std::string_view s) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    DecodedChar d = decode_utf8(s, pos);
    if (!is_white_space(d.cp)) break;
    pos += d.size;
  }
  return s.substr(pos);
}

std::string_view trim(std::string_view s) {
  s = trim_start(s);
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < s.size();) {
    DecodedChar d = decode_utf8(s, pos);
    pos += d.size;
    if (!is_white_space(d.cp)) end = pos;
  }
  return s.substr(0, end);
}

// The bytes that end an unquoted tag.
bool ends_unquoted_tag(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ' || c == '=' || c == '[';
}

bool equals_ascii_nocase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

Result<LONG> parse_value(std::string_view value_text) {
  std::string_view text = trim(value_text);
  if (equals_ascii_nocase(text, "on")) return LONG{1};
  if (equals_ascii_nocase(text, "off")) return LONG{0};
  bool all_digits = !text.empty();
  for (char c : text) all_digits = all_digits && c >= '0' && c <= '9';
  if (!all_digits)
    return fail("feature value " + quoted(text) + " must be a non-negative integer or on/off");
  std::uint64_t value = 0;
  for (char c : text) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 2147483647U)
      return fail("feature value " + quoted(text) +
                  " out of range: number too large to fit in target type");
  }
  return static_cast<LONG>(value);
}

Result<std::monostate> check_tag(std::string_view tag) {
  if (tag.empty() || tag.size() > 4)
    return fail("feature tag " + quoted(tag) + " must be 1..=4 characters (got " +
                std::to_string(tag.size()) + ")");
  for (char c : tag) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b <= 0x7E) continue;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", b);
    return fail("feature tag " + quoted(tag) + " contains a non-printable-ASCII byte " + hex);
  }
  return std::monostate{};
}

struct ParsedItem {
  OPENTYPE_TAG tag;
  LONG value;
  std::uint64_t start = 0;
  std::uint64_t end = kToTheEnd;
};

Result<std::uint64_t> parse_index(std::string_view text) {
  text = trim(text);
  std::uint64_t value = 0;
  if (text.empty()) return fail("empty index");
  for (char c : text) {
    if (c < '0' || c > '9') return fail("index " + quoted(text) + " must be a non-negative integer");
    if (value > (kToTheEnd - 9) / 10) return fail("index " + quoted(text) + " out of range");
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// "[start:end]", "[start:]", "[:end]", "[index]", as HarfBuzz reads them: the
// characters from start up to, not including, end.
Result<std::monostate> parse_range(std::string_view &rest, ParsedItem &out) {
  const std::size_t close = rest.find(']');
  if (close == std::string_view::npos) return fail("unterminated range " + quoted(rest));
  const std::string_view inside = rest.substr(1, close - 1);
  rest.remove_prefix(close + 1);
  const std::size_t colon = inside.find(':');
  if (colon == std::string_view::npos) {
    Result<std::uint64_t> index = parse_index(inside);
    if (!index) return index.take_failure();
    out.start = *index;
    out.end = *index + 1;
    return std::monostate{};
  }
  const std::string_view first = trim(inside.substr(0, colon)), last = trim(inside.substr(colon + 1));
  if (!first.empty()) {
    Result<std::uint64_t> start = parse_index(first);
    if (!start) return start.take_failure();
    out.start = *start;
  }
  if (!last.empty()) {
    Result<std::uint64_t> end = parse_index(last);
    if (!end) return end.take_failure();
    out.end = *end;
  }
  if (out.end <= out.start) return fail("range " + quoted(inside) + " holds no character");
  return std::monostate{};
}

// One trimmed, non-empty item; failures carry the bare reason. Ranges are
// read only where the caller takes them.
Result<ParsedItem> parse_item(std::string_view item, bool ranges) {
  LONG value = 1;
  std::string_view rest = item;
  if (rest.front() == '-') {
    value = 0;
    rest.remove_prefix(1);
  } else if (rest.front() == '+') {
    rest.remove_prefix(1);
  }

  rest = trim_start(rest);
  if (rest.empty()) return fail("missing feature tag");

  std::string_view tag;
  char quote = rest.front();
  if (quote == '"' || quote == '\'') {
    std::size_t close = rest.find(quote, 1);
    if (close == std::string_view::npos) return fail("unterminated quoted tag " + quoted(rest));
    tag = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
  } else {
    std::size_t end = 0;
    while (end < rest.size() && !ends_unquoted_tag(rest[end])) ++end;
    tag = rest.substr(0, end);
    rest.remove_prefix(end);
  }

  rest = trim_start(rest);
  ParsedItem parsed{0, 0};
  if (ranges && !rest.empty() && rest.front() == '[') {
    if (auto r = parse_range(rest, parsed); !r) return r.take_failure();
    rest = trim_start(rest);
  }
  if (!rest.empty()) {
    std::string_view value_text = rest;
    if (rest.front() == '=') {
      value_text = trim_start(rest.substr(1));
      if (value_text.empty()) return fail("`=` without a value");
    } else if (rest.front() == '[') {
      if (ranges) return fail("one range per feature: write the feature once for each range");
      return fail("range syntax `[start:end]` is not supported — features apply to the whole run");
    }
    Result<LONG> parsed = parse_value(value_text);
    if (!parsed) return parsed.take_failure();
    value = *parsed;
  }

  Result<std::monostate> checked = check_tag(tag);
  if (!checked) return checked.take_failure();
  parsed.tag = pack_tag(tag);
  parsed.value = value;
  return parsed;
}

}  // namespace

OPENTYPE_TAG pack_tag(std::string_view tag) {
  OPENTYPE_TAG packed = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    auto c = i < tag.size() ? static_cast<unsigned char>(tag[i]) : 0x20U;
    packed |= static_cast<OPENTYPE_TAG>(c) << (8 * i);
  }
  return packed;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t pos = 0; pos < text.size();) {
    DecodedChar d = decode_utf8(text, pos);
    pos += d.size;
    switch (d.cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case 0: out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case ' ': out.push_back(' '); continue;
      default: break;
    }
    if (needs_unicode_escape(d.cp)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(d.cp));
      out += hex;
    } else {
      append_utf8(out, d.cp);
    }
  }
  out.push_back('"');
  return out;
}

namespace {

// Reads the list into a set; ranges only where `ranges` says so (the
// compatibility call refuses them with the parser's own message).
Result<FeatureSet> parse_list(std::string_view features, bool ranges) {
  FeatureSet set;
  std::unordered_map<OPENTYPE_TAG, std::size_t> position;  // tag -> index in set.whole
  std::size_t start = 0;
  while (start <= features.size()) {
    std::size_t comma = features.find(',', start);
    if (comma == std::string_view::npos) comma = features.size();
    std::string_view item = trim(features.substr(start, comma - start));
    start = comma + 1;
    if (item.empty()) continue;

    Result<ParsedItem> parsed = parse_item(item, ranges);
    if (!parsed) return fail("bad feature " + quoted(item) + ": " + parsed.error());
    if (parsed->start != 0 || parsed->end != kToTheEnd) {
      set.ranged.push_back({{parsed->tag, parsed->value}, parsed->start, parsed->end});
      continue;
    }
    // A tag turned off for the whole text after ranges of it is off everywhere, as HarfBuzz
    // leaves a feature whose last global value is 0 out of its map (and its ranges with it).
    if (parsed->value == 0)
      std::erase_if(set.ranged, [&](const RangedFeature &f) { return f.record.tagFeature == parsed->tag; });
    auto [slot, inserted] = position.try_emplace(parsed->tag, set.whole.size());
    if (inserted)
      set.whole.push_back({parsed->tag, parsed->value});
    else
      set.whole[slot->second].lParameter = parsed->value;
  }
  return set;
}

}  // namespace

Result<FeatureList> parse_features(std::string_view features) {
  Result<FeatureSet> set = parse_list(features, false);
  if (!set) return set.take_failure();
  return std::move(set->whole);
}

Result<FeatureSet> parse_feature_set(std::string_view features) { return parse_list(features, true); }

}  // namespace tesvo
