// The paragraph direction of the structured results: the first strong character.
#include <gtest/gtest.h>

#include <string>

#include "lib/session.h"

namespace {

TEST(FirstStrong, DecidesByTheFirstStrongCharacterOutsideIsolates) {
  const struct {
    std::u16string text;
    bool rtl;
  } cases[] = {
      {u"abc \u05d0", false},     {u"123 (\u05d0) abc", true}, {u"\u2067\u05d0\u2069 b", false},
      {u"\u2067\u05d0\u2069", false}, {u"\u0627", true},           {u"12 ...", false},
      {u"\U00010900 a", true},    {u"\u2066\u2067\u05d0\u2069 \u05d0\u2069 a", false},
  };
  for (const auto &c : cases) EXPECT_EQ(tesvo::first_strong_is_rtl(c.text), c.rtl);
}

}  // namespace
