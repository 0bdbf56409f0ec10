// The paragraph direction rules: the compatibility call's explicit values and
// right-to-left block scan, and the structured results' first strong character.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "text/paragraph.h"

namespace {

TEST(DirectionIsRtl, ExactRtlOrLtrElseAnyRightToLeftCodeUnit) {
  struct Case {
    const char *direction;
    std::u16string text;
    std::uint16_t rtl;
  };
  const Case cases[] = {
      {"rtl", u"abc", 1},
      {"ltr", u"\u05d0\u0627", 0},
      {"auto", u"abc", 0},
      {"auto", u"abc\u05d0", 1},
      {"RTL", u"abc", 0},
      {"Rtl", u"\u05d0", 1},
      {"rtl ", u"abc", 0},
      {"", u"x\u0627y", 1},
      {"anything", u"abc", 0},
      {"auto", u"\u058f", 0},
      {"auto", u"\u0590", 1},
      {"auto", u"\u08ff", 1},
      {"auto", u"\u0900", 0},
      {"auto", u"\ufb1c", 0},
      {"auto", u"\ufb1d", 1},
      {"auto", u"\ufdff", 1},
      {"auto", u"\ufe00", 0},
      {"auto", u"\ufe6f", 0},
      {"auto", u"\ufe70", 1},
      {"auto", u"\ufefc", 1},
      {"auto", u"\ufefd", 0},
      {"auto", u"\ufeff", 0},
      {"auto", u"\U0001e900", 0},  // Adlam: right-to-left, but outside the ranges
      {"auto", u"", 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(tesvo::direction_is_rtl(c.direction, c.text), c.rtl)
        << c.direction << " " << static_cast<unsigned>(c.text.empty() ? 0 : c.text[0]);
}

TEST(FirstStrong, DecidesByTheFirstStrongCharacterOutsideIsolates) {
  const struct {
    std::u16string text;
    bool rtl;
  } cases[] = {
      {u"abc \u05d0", false},     {u"123 (\u05d0) abc", true}, {u"\u2067\u05d0\u2069 b", false},
      {u"\u2067\u05d0\u2069", false}, {u"\u0627", true},           {u"12 ...", false},
      {u"\U00010900 a", true},    {u"\u2066\u2067\u05d0\u2069 \u05d0\u2069 a", false},
      {std::u16string{0xD802, 0x05D0}, true},  // a lone surrogate takes one code unit, not the letter after it
  };
  for (const auto &c : cases) EXPECT_EQ(tesvo::first_strong_is_rtl(c.text), c.rtl);
}

}  // namespace
