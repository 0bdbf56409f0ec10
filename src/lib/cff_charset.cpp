// Reading a CFF table far enough to name its glyphs, with HarfBuzz's rules
// for which tables count: HarfBuzz names no glyph of a CFF table that it
// cannot open whole (header, INDEXes, Top and Private DICTs, charset,
// encoding, CharStrings), so neither do we. Where HarfBuzz releases differ
// on a damaged table, the newest release's reading is the one followed.
#include "lib/cff_charset.h"

#include <array>
#include <cfloat>
#include <climits>
#include <optional>
#include <string>

#include "lib/font_reader.h"
#include "lib/glyph_name_tables.h"

namespace tesvo {

namespace {

// ---- INDEX ------------------------------------------------------------------

// A CFF INDEX: a count, an offset size and count + 1 offsets (1-based) into
// the data that follows them.
struct CffIndex {
  std::uint64_t at = 0;
  std::uint32_t count = 0;
  unsigned off_size = 0;
  std::uint32_t last = 0;  // the last offset: one past the data's end

  std::uint64_t offsets() const { return at + 3; }
  // Element data starts at data_base() + offset, offsets being 1-based.
  std::uint64_t data_base() const { return offsets() + std::uint64_t{off_size} * (count + 1) - 1; }
  // The INDEX's size as HarfBuzz computes it, in 32-bit arithmetic: an
  // INDEX whose last offset is 0 wraps around to end one byte early.
  std::uint32_t size() const {
    if (count == 0) return 2;
    return static_cast<std::uint32_t>(3 + off_size * (count + 1) + (last - 1));
  }
};

// A place at a signed offset from `base`, if it lies inside the table (its
// end included), as HarfBuzz places the structures of a CFF table.
std::optional<std::uint64_t> place(const FontReader &cff, std::uint64_t base, std::int64_t offset) {
  std::int64_t at = static_cast<std::int64_t>(base) + offset;
  if (at < 0 || static_cast<std::uint64_t>(at) > cff.size()) return std::nullopt;
  return static_cast<std::uint64_t>(at);
}

std::optional<CffIndex> read_index(const FontReader &cff, std::optional<std::uint64_t> at) {
  if (!at) return std::nullopt;
  std::optional<std::uint16_t> count = cff.u16(*at);
  if (!count) return std::nullopt;
  CffIndex index{*at, *count, 0, 0};
  if (index.count == 0) return index;
  std::optional<std::uint8_t> off_size = cff.u8(*at + 2);
  if (!off_size || *off_size < 1 || *off_size > 4) return std::nullopt;
  index.off_size = *off_size;
  if (!cff.has(index.offsets(), std::uint64_t{index.off_size} * (index.count + 1))) return std::nullopt;
  index.last = *cff.uint(index.offsets() + std::uint64_t{index.off_size} * index.count, index.off_size);
  if (!cff.has(index.data_base(), index.last)) return std::nullopt;
  return index;
}

// The INDEX that follows another one.
std::optional<CffIndex> index_after(const FontReader &cff, const CffIndex &index) {
  return read_index(cff, place(cff, index.at, static_cast<std::int32_t>(index.size())));
}

// Element i of an INDEX; empty when it is out of range or its offsets are
// out of order.
std::span<const std::uint8_t> element(const FontReader &cff, const CffIndex &index, std::uint32_t i) {
  if (i >= index.count) return {};
  std::uint32_t start = *cff.uint(index.offsets() + std::uint64_t{index.off_size} * i, index.off_size);
  std::uint32_t end = *cff.uint(index.offsets() + std::uint64_t{index.off_size} * (i + 1), index.off_size);
  if (end < start || end > index.last) return {};
  return cff.slice(index.data_base() + start, end - start).value_or(std::span<const std::uint8_t>());
}

// ---- DICT -------------------------------------------------------------------

// A real number of a DICT (its nibbles spelled out) read as HarfBuzz reads
// it: the whole text must be a start of [+-]?(d+(.d+)?|.d+)([eE][+-]?d+)?.
std::optional<double> parse_real_text(std::string_view text) {
  enum State { Start, Sign, Int, Dot, Frac, LeadDot, Exp, ExpSign, ExpDigits };
  State state = Start;
  double value = 0, frac = 0, frac_count = 0;
  unsigned exp = 0;
  bool negative = false, exp_negative = false, exp_overflow = false;
  constexpr unsigned long long kMaxFraction = 0xFFFFFFFFFFFFFull;
  constexpr unsigned kMaxExponent = 0x7FF;
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9';
    const unsigned d = digit ? static_cast<unsigned>(c - '0') : 0;
    const bool sign = c == '+' || c == '-';
    if ((state == Start || state == Sign || state == Int) && digit) {
      value = value * 10. + d;
      state = Int;
    } else if (state == Start && sign) {
      negative = c == '-';
      state = Sign;
    } else if ((state == Start || state == Sign) && c == '.') {
      state = LeadDot;
    } else if (state == Int && c == '.') {
      state = Dot;
    } else if ((state == Dot || state == LeadDot || state == Frac) && digit) {
      if (frac <= static_cast<double>(kMaxFraction / 10)) {
        frac = frac * 10. + d;
        ++frac_count;
      }
      state = Frac;
    } else if ((state == Int || state == Frac) && (c == 'e' || c == 'E')) {
      state = Exp;
    } else if (state == Exp && sign) {
      exp_negative = c == '-';
      state = ExpSign;
    } else if ((state == Exp || state == ExpSign || state == ExpDigits) && digit) {
      if (exp * 10 + d <= kMaxExponent)
        exp = exp * 10 + d;
      else
        exp_overflow = true;
      state = ExpDigits;
    } else {
      return std::nullopt;
    }
  }
  if (text.empty()) return std::nullopt;
  // Powers of ten from the nine low bits of the exponent, as HarfBuzz forms them.
  auto pow10 = [](unsigned e) {
    constexpr std::array<double, 9> powers = {1e256, 1e128, 1e64, 1e32, 1e16, 1e8, 1e4, 1e2, 1e1};
    double result = 1;
    unsigned mask = 1U << 8;
    for (double p : powers) {
      if (e & mask) result *= p;
      mask >>= 1;
    }
    return result;
  };
  if (frac_count > 0) value += frac / pow10(static_cast<unsigned>(frac_count));
  if (negative) value *= -1.;
  if (exp_overflow) {
    if (value == 0) return value;
    if (exp_negative) return negative ? -DBL_MIN : DBL_MIN;
    return negative ? -DBL_MAX : DBL_MAX;
  }
  if (exp != 0) value = exp_negative ? value / pow10(exp) : value * pow10(exp);
  return value;
}

// The operators of the two DICTs read here, as the values HarfBuzz gives
// them: one byte, or 256 plus the byte after an escape (12).
constexpr unsigned esc(unsigned op) { return 256 + op; }

struct TopDict {
  bool cid = false;
  std::int32_t charset = 0;
  std::int32_t encoding = 0;
  std::int32_t char_strings = 0;
  std::int32_t private_offset = 0;
  std::uint32_t private_size = 0;
};

enum class DictKind { Top, Private };

// A DICT interpreter as strict as HarfBuzz's: a missing operand, a value
// beyond int, a negative count, a stack deeper than 513 or a cut-short or
// malformed number makes the whole DICT unreadable. An unknown operator only
// drops its operands.
class DictReader {
 public:
  explicit DictReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::optional<TopDict> read(DictKind kind) {
    TopDict top;
    while (pos_ < bytes_.size() && !error_) step(kind, top);
    if (error_) return std::nullopt;
    return top;
  }

 private:
  void step(DictKind kind, TopDict &top) {
    unsigned op = bytes_[pos_++];
    if (op == 12) {
      if (pos_ >= bytes_.size()) return stack_.clear();  // an escape with nothing after it: unknown
      op = esc(bytes_[pos_++]);
    }
    if (operand(op)) return;
    if (kind == DictKind::Top) return top_operator(op, top);
    private_operator(op);
  }

  // Pushes a number when op starts one; false when op is an operator.
  bool operand(unsigned op) {
    if (op >= 32 && op <= 246) return push(static_cast<int>(op) - 139), true;
    if (op >= 247 && op <= 250) {
      std::optional<unsigned> b = next(1);
      if (b) push(static_cast<std::int16_t>((op - 247) * 256 + *b + 108));
      return true;
    }
    if (op >= 251 && op <= 254) {
      std::optional<unsigned> b = next(1);
      if (b) push(-static_cast<int>(op - 251) * 256 - static_cast<int>(*b) - 108);
      return true;
    }
    if (op == 28) {
      std::optional<unsigned> v = next(2);
      if (v) push(static_cast<std::int16_t>(*v));
      return true;
    }
    if (op == 29) {
      std::optional<unsigned> v = next(4);
      if (v) push(static_cast<std::int32_t>(*v));
      return true;
    }
    if (op == 30) return real(), true;
    return false;
  }

  void top_operator(unsigned op, TopDict &top) {
    switch (op) {
      case 0: case 1: case 2: case 3: case 4: case esc(0): case esc(21): case esc(22): case esc(34): case esc(38):
        pop_uint();
        break;
      case esc(1): case esc(2): case esc(3): case esc(4): case esc(5): case esc(6): case esc(7): case esc(8):
      case 13: case esc(20): case esc(31): case esc(32): case esc(33): case esc(35): case 5: case 14:
      case esc(23):
        break;
      case esc(30):  // ROS: registry, ordering, supplement
        pop_uint();
        pop_uint();
        pop_uint();
        top.cid = true;
        break;
      case 15: top.charset = pop_int(); break;
      case 16: top.encoding = pop_int(); break;
      case 17: top.char_strings = pop_int(); break;
      case 18:
        top.private_offset = pop_int();
        top.private_size = pop_uint();
        break;
      case esc(36): case esc(37): pop_int(); break;  // FDArray, FDSelect
      default: break;
    }
    stack_.clear();
  }

  void private_operator(unsigned op) {
    switch (op) {
      case 6: case 7: case 8: case 9: case 10: case 11: case esc(9): case esc(10): case esc(11): case esc(12):
      case esc(13): case esc(14): case esc(17): case esc(18): case esc(19): case 20: case 21:
        break;
      case 19: pop_int(); break;  // Subrs
      default: break;
    }
    stack_.clear();
  }

  // A real number: nibbles spelling digits, '.', 'E', 'E-', '-', up to an end nibble.
  void real() {
    std::string text;
    std::uint8_t byte = 0;
    for (unsigned i = 0; text.size() < 32; ++i) {
      unsigned nibble;
      if (i % 2 == 0) {
        if (pos_ >= bytes_.size()) break;
        byte = bytes_[pos_++];
        nibble = byte >> 4;
      } else {
        nibble = byte & 0x0F;
      }
      if (nibble == 0xD) break;
      if (nibble == 0xF) {
        std::optional<double> value = parse_real_text(text);
        if (!value) break;
        return push(*value);
      }
      text.push_back("0123456789.EE?-?"[nibble]);
      if (nibble == 0xC) {
        if (text.size() == 32) break;
        text.push_back('-');
      }
    }
    fail();
  }

  std::optional<unsigned> next(unsigned width) {
    if (bytes_.size() - pos_ < width) {
      fail();
      return std::nullopt;
    }
    unsigned value = 0;
    for (unsigned i = 0; i < width; ++i) value = value << 8 | bytes_[pos_++];
    return value;
  }
  void push(double value) {
    if (stack_.size() >= 513) return fail();
    stack_.push_back(value);
  }
  // The top of the stack as an int; one beyond int (or NaN) is an error.
  int pop_int() {
    if (stack_.empty()) {
      fail();
      return 0;
    }
    double value = stack_.back();
    stack_.pop_back();
    if (!(value >= INT_MIN && value <= INT_MAX)) {
      fail();
      return 0;
    }
    return static_cast<int>(value);
  }
  std::uint32_t pop_uint() {
    int value = pop_int();
    if (value < 0) {
      fail();
      return 0;
    }
    return static_cast<std::uint32_t>(value);
  }
  void fail() { error_ = true; }

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  std::vector<double> stack_;
  bool error_ = false;
};

// ---- charset and encoding -----------------------------------------------------

// The string id of every glyph from a charset of format 0, 1 or 2 at `at`,
// if the charset covers exactly the glyphs 1 .. glyph_count - 1.
std::optional<std::vector<std::uint32_t>> read_charset(const FontReader &cff, std::uint64_t at,
                                                       std::uint32_t glyph_count) {
  std::optional<std::uint8_t> format = cff.u8(at);
  if (!format || glyph_count == 0 || *format > 2) return std::nullopt;
  std::vector<std::uint32_t> sids(glyph_count, 0);
  std::uint64_t p = at + 1;
  if (*format == 0) {
    if (!cff.has(p, 2ULL * (glyph_count - 1))) return std::nullopt;
    for (std::uint32_t gid = 1; gid < glyph_count; ++gid) sids[gid] = *cff.u16(p + 2ULL * (gid - 1));
    return sids;
  }
  const unsigned count_width = *format == 1 ? 1 : 2;
  for (std::uint32_t gid = 1; gid < glyph_count;) {
    std::optional<std::uint16_t> first = cff.u16(p);
    std::optional<std::uint32_t> left = cff.uint(p + 2, count_width);
    if (!first || !left || *left + 1 > glyph_count - gid) return std::nullopt;
    for (std::uint32_t i = 0; i <= *left; ++i) sids[gid++] = *first + i;  // may pass 65535: no string
    p += 2 + count_width;
  }
  return sids;
}

// The string ids of a predefined charset (0 ISOAdobe, 1 Expert, 2 Expert
// Subset); any other id, a negative offset among them, names every glyph
// .notdef as HarfBuzz does.
std::vector<std::uint32_t> predefined_charset(std::int32_t id, std::uint32_t glyph_count) {
  std::vector<std::uint32_t> sids(glyph_count, 0);
  std::span<const std::uint16_t> table;
  if (id == 1) table = cff_expert_charset();
  if (id == 2) table = cff_expert_subset_charset();
  for (std::uint32_t gid = 0; gid < glyph_count; ++gid) {
    if (id == 0 && gid <= 228) sids[gid] = gid;
    if (gid < table.size()) sids[gid] = table[gid];
  }
  return sids;
}

// An Encoding of format 0 or 1 lies whole in the table, with its supplement.
bool encoding_fits(const FontReader &cff, std::uint64_t at) {
  std::optional<std::uint8_t> format = cff.u8(at);
  std::optional<std::uint8_t> count = cff.u8(at + 1);
  if (!format || !count || (*format & 0x7F) > 1) return false;
  const std::uint64_t entry = (*format & 0x7F) == 0 ? 1 : 2;
  if (!cff.has(at + 2, entry * *count)) return false;
  if (!(*format & 0x80)) return true;
  if (*count == 0) return false;  // HarfBuzz finds no supplement after an empty list
  std::optional<std::uint8_t> supplements = cff.u8(at + 2 + entry * *count);
  return supplements && cff.has(at + 3 + entry * *count, 3ULL * *supplements);
}

// ---- the table ------------------------------------------------------------------

struct NamingParts {
  CffIndex strings;
  std::vector<std::uint32_t> sids;
};

std::optional<NamingParts> read_naming_parts(const FontReader &cff, std::uint32_t glyph_count) {
  std::optional<std::uint8_t> major = cff.u8(0);
  if (!cff.has(0, 4) || *major != 1) return std::nullopt;
  std::optional<CffIndex> names = read_index(cff, std::uint64_t{*cff.u8(2)});
  if (!names) return std::nullopt;
  std::optional<CffIndex> top_dicts = index_after(cff, *names);
  if (!top_dicts || top_dicts->count == 0) return std::nullopt;
  std::optional<TopDict> top = DictReader(element(cff, *top_dicts, 0)).read(DictKind::Top);
  if (!top) return std::nullopt;

  NamingParts parts;
  if (top->charset > 2) {
    std::optional<std::uint64_t> at = place(cff, 0, top->charset);
    std::optional<std::vector<std::uint32_t>> sids = at ? read_charset(cff, *at, glyph_count) : std::nullopt;
    if (!sids) return std::nullopt;
    parts.sids = std::move(*sids);
  } else {
    parts.sids = predefined_charset(top->charset, glyph_count);
  }
  if (top->cid) return std::nullopt;  // HarfBuzz names no glyph of a CID-keyed font
  if (top->encoding > 1) {
    std::optional<std::uint64_t> at = place(cff, 0, top->encoding);
    if (!at || !encoding_fits(cff, *at)) return std::nullopt;
  }
  std::optional<CffIndex> strings = index_after(cff, *top_dicts);
  if (!strings) return std::nullopt;
  parts.strings = *strings;

  std::optional<CffIndex> char_strings =
      top->char_strings == 0 ? std::nullopt : read_index(cff, place(cff, 0, top->char_strings));
  if (!char_strings || char_strings->count != glyph_count) return std::nullopt;

  std::span<const std::uint8_t> private_dict;
  std::optional<std::uint64_t> private_at =
      top->private_offset == 0 ? std::nullopt : place(cff, 0, top->private_offset);
  if (private_at && cff.has(*private_at, top->private_size))
    private_dict = *cff.slice(*private_at, top->private_size);
  else if (top->private_size != 0)
    return std::nullopt;
  if (!DictReader(private_dict).read(DictKind::Private)) return std::nullopt;
  return parts;
}

}  // namespace

std::vector<std::string_view> cff_glyph_names(std::span<const std::uint8_t> table, std::uint32_t glyph_count) {
  FontReader cff(table);
  std::optional<NamingParts> parts = read_naming_parts(cff, glyph_count);
  if (!parts) return {};
  std::span<const std::string_view> standard = cff_standard_strings();
  std::vector<std::string_view> names(glyph_count);
  for (std::uint32_t gid = 0; gid < glyph_count; ++gid) {
    std::uint32_t sid = parts->sids[gid];
    if (sid < standard.size()) {
      names[gid] = standard[sid];
      continue;
    }
    std::span<const std::uint8_t> s = element(cff, parts->strings, static_cast<std::uint32_t>(sid - standard.size()));
    names[gid] = std::string_view(reinterpret_cast<const char *>(s.data()), s.size());
  }
  return names;
}

}  // namespace tesvo
