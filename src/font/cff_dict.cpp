// The CFF DICT interpreter: operands (integers and real numbers) on a
// stack, operators that take them, as HarfBuzz's interpreter takes them.
// Where HarfBuzz releases differ, HarfBuzz 10.2's reading is followed (an
// unknown operator drops its operands; 6.0 refused the DICT), and where
// 10.2 leaves a conversion undefined (a value beyond int), the newest
// release's (an error).
#include "font/cff_dict.h"

#include <array>
#include <cfloat>
#include <climits>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tesvo {

namespace {

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

// A DICT interpreter that fails where HarfBuzz's does.
class DictReader {
 public:
  explicit DictReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::optional<CffTopDict> read(CffDictKind kind) {
    CffTopDict top;
    while (pos_ < bytes_.size() && !error_) step(kind, top);
    if (error_) return std::nullopt;
    return top;
  }

 private:
  void step(CffDictKind kind, CffTopDict &top) {
    unsigned op = bytes_[pos_++];
    if (op == 12) {
      if (pos_ >= bytes_.size()) return stack_.clear();  // an escape with nothing after it: unknown
      op = esc(bytes_[pos_++]);
    }
    if (operand(op)) return;
    if (kind == CffDictKind::Top) return top_operator(op, top);
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

  void top_operator(unsigned op, CffTopDict &top) {
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

}  // namespace

std::optional<CffTopDict> read_cff_dict(std::span<const std::uint8_t> dict, CffDictKind kind) {
  return DictReader(dict).read(kind);
}

}  // namespace tesvo
