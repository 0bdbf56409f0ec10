// The variations parser: items, tags, values and their messages.
#include "text/variations.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <string>

#include "text/features.h"

namespace tesvo {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool is_tag_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted tag's bytes up to its closing quote: each character as itself,
// but `\xHH`, the byte HH (any byte: a font's tag may hold control
// characters), and `\\`, `\'`, `\"`, the character after the backslash.
// `end` is set past the closing quote.
Result<std::string> quoted_tag(std::string_view item, std::size_t &end) {
  std::string tag;
  for (std::size_t i = 1; i < item.size(); ++i) {
    const char c = item[i];
    if (c == item.front()) {
      end = i + 1;
      return tag;
    }
    if (c < 0x20 || c > 0x7E) return fail("an axis tag is 1 to 4 ASCII characters (write another byte as \\xHH)");
    if (c != '\\') {
      tag += c;
      continue;
    }
    if (i + 1 < item.size() && (item[i + 1] == '\\' || item[i + 1] == '\'' || item[i + 1] == '"')) {
      tag += item[++i];
    } else if (i + 3 < item.size() && item[i + 1] == 'x' && hex_digit(item[i + 2]) >= 0 &&
               hex_digit(item[i + 3]) >= 0) {
      tag += static_cast<char>(hex_digit(item[i + 2]) * 16 + hex_digit(item[i + 3]));
      i += 3;
    } else {
      return fail("a backslash in a quoted tag is \\xHH, \\\\, \\' or \\\"");
    }
  }
  return fail("unterminated quoted tag");
}

Result<AxisValue> parse_item(std::string_view item) {
  std::string tag;
  std::string_view rest;
  if (item.front() == '"' || item.front() == '\'') {
    std::size_t end = 0;
    Result<std::string> quoted = quoted_tag(item, end);
    if (!quoted) return quoted.take_failure();
    tag = std::move(*quoted);
    rest = item.substr(end);
  } else {
    std::size_t end = 0;
    while (end < item.size() && end < 4 && is_tag_char(item[end])) ++end;
    tag = item.substr(0, end);
    rest = item.substr(end);
  }
  if (tag.empty() || tag.size() > 4) return fail("an axis tag is 1 to 4 characters");
  rest = trim(rest);
  if (!rest.empty() && (rest.front() == '=' || rest.front() == ':')) rest = trim(rest.substr(1));
  if (rest.empty()) return fail("missing value");
  double value = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (error != std::errc() || end != rest.data() + rest.size() || !std::isfinite(value))
    return fail("value \"" + std::string(rest) + "\" is not a number");
  if (value <= -32768.0 || value >= 32768.0) return fail("value out of range (-32768 to 32767.99998)");
  // The nearest 16.16 value; just below 32768 that is the largest one, not a wrap to -32768.
  const long long fixed = std::min<long long>(std::llround(value * 65536.0), INT32_MAX);
  return AxisValue{pack_tag(tag), static_cast<std::int32_t>(fixed)};
}

}  // namespace

Result<Location> parse_variations(std::string_view text) {
  Location location;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view item = trim(text.substr(start, comma - start));
    start = comma + 1;
    if (item.empty()) continue;
    Result<AxisValue> parsed = parse_item(item);
    if (!parsed) return fail("bad variation " + quoted(item) + ": " + parsed.error());
    bool repeated = false;
    for (AxisValue &known : location) {
      if (known.tag != parsed->tag) continue;
      known.value = parsed->value;
      repeated = true;
    }
    if (!repeated) location.push_back(*parsed);
  }
  return location;
}

std::vector<std::int32_t> location_pairs(const Location &location) {
  std::vector<std::int32_t> pairs;
  pairs.reserve(2 * location.size());
  for (const AxisValue &axis : location) {
    pairs.push_back(static_cast<std::int32_t>(axis.tag));
    pairs.push_back(axis.value);
  }
  return pairs;
}

}  // namespace tesvo
