// The OpenType feature-list syntax, its messages and the quoted form they use.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "text/features.h"

namespace {

using namespace std::string_literals;

// Independent of the engine's packing: first character in the low byte.
std::uint32_t tag_value(const std::string &tag) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    std::uint32_t c = i < tag.size() ? static_cast<unsigned char>(tag[i]) : 0x20U;
    v |= c << (8 * i);
  }
  return v;
}

using Records = std::vector<std::pair<std::string, int>>;

struct Parsed {
  Records records;
  std::string error;
};

// Turns the parse result back into tag strings so failures read well.
Parsed parse(const std::string &text) {
  auto result = tesvo::parse_features(text);
  if (!result) return {{}, result.error()};
  Parsed out;
  for (const OPENTYPE_FEATURE_RECORD &r : *result) {
    std::string tag;
    for (int i = 0; i < 4; ++i) tag.push_back(static_cast<char>((r.tagFeature >> (8 * i)) & 0xFF));
    while (!tag.empty() && tag.back() == ' ') tag.pop_back();
    out.records.emplace_back(tag, static_cast<int>(r.lParameter));
  }
  return out;
}

TEST(PackTag, FirstCharacterLowPaddedWithSpaces) {
  const std::pair<const char *, std::uint32_t> cases[] = {
      {"liga", 0x6167696C}, {"ss", 0x20207373}, {"a b", 0x20622061}, {"a", 0x20202061},
      {"dflt", 0x746C6664}, {"~~~~", 0x7E7E7E7E}, {"    ", 0x20202020},
  };
  for (const auto &[tag, value] : cases) EXPECT_EQ(tesvo::pack_tag(tag), value) << tag;
}

TEST(ParseFeatures, AcceptedListsGiveRecordsInOrderOfFirstAppearance) {
  struct Case {
    std::string in;
    Records out;
  };
  const Case cases[] = {
      {"", {}},
      {",", {}},
      {" , ,\t,\n", {}},
      {"\xc2\xa0,\xe3\x80\x80", {}},  // only non-ASCII white space
      {"liga", {{"liga", 1}}},
      {"-kern", {{"kern", 0}}},
      {"+smcp", {{"smcp", 1}}},
      {"-liga=1", {{"liga", 1}}},
      {"+liga=0", {{"liga", 0}}},
      {"liga=ON", {{"liga", 1}}},
      {"liga=Off", {{"liga", 0}}},
      {"liga=oN", {{"liga", 1}}},
      {"-liga on", {{"liga", 1}}},
      {" - liga  =  2 ", {{"liga", 2}}},
      {"liga 3", {{"liga", 3}}},
      {"liga\t3", {{"liga", 3}}},
      {"liga\r\n=\f4", {{"liga", 4}}},
      {"liga=2147483647", {{"liga", 2147483647}}},
      {"liga=000000000002147483647", {{"liga", 2147483647}}},
      {"liga=007", {{"liga", 7}}},
      {"liga, kern ,, -calt", {{"liga", 1}, {"kern", 1}, {"calt", 0}}},
      {"liga,kern,liga=0", {{"liga", 0}, {"kern", 1}}},
      {"'a b'=3", {{"a b", 3}}},
      {"'a b' 3", {{"a b", 3}}},
      {"\"a=b\"", {{"a=b", 1}}},
      {"-'[x]'", {{"[x]", 0}}},
      {"\"it's\"", {{"it's", 1}}},
      {"'say\"'", {{"say\"", 1}}},
      {"a\\b", {{"a\\b", 1}}},
      {"ss, 'ss '=3", {{"ss", 3}}},  // one packed tag, one record
      {"--a", {{"-a", 0}}},          // only one sign is consumed
      {"+-a", {{"-a", 1}}},
      {"\xc2\xa0liga\xe2\x80\x83", {{"liga", 1}}},  // Unicode white space trimmed at the ends
      {"liga=\xe3\x80\x80" "5", {{"liga", 5}}},
      {"liga=5\xc2\x85", {{"liga", 5}}},  // U+0085 is white space
  };
  for (const Case &c : cases) {
    Parsed p = parse(c.in);
    EXPECT_EQ(p.error, "") << c.in;
    EXPECT_EQ(p.records, c.out) << c.in;
  }
}

TEST(ParseFeatures, RecordsCarryThePackedTag) {
  auto result = tesvo::parse_features("'a b'=3, liga");
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(result->size(), 2u);
  EXPECT_EQ((*result)[0].tagFeature, 0x20622061u);
  EXPECT_EQ((*result)[0].lParameter, 3);
  EXPECT_EQ((*result)[1].tagFeature, tag_value("liga"));
}

TEST(ParseFeatures, EveryFailureHasItsExactMessage) {
  const std::string range = "range syntax `[start:end]` is not supported \xe2\x80\x94 features apply to the whole run";
  struct Case {
    std::string in;
    std::string message;
  };
  const Case cases[] = {
      // nothing after the sign
      {"-", "bad feature \"-\": missing feature tag"},
      {"+", "bad feature \"+\": missing feature tag"},
      {" -  ", "bad feature \"-\": missing feature tag"},
      {"+\xc2\xa0", "bad feature \"+\": missing feature tag"},
      {"liga, +, kern", "bad feature \"+\": missing feature tag"},
      // unterminated quotes; the item is trimmed, the quoted rest starts at the quote
      {"\"ab", "bad feature \"\\\"ab\": unterminated quoted tag \"\\\"ab\""},
      {"'ab", "bad feature \"'ab\": unterminated quoted tag \"'ab\""},
      {" - \"ab =1 ", "bad feature \"- \\\"ab =1\": unterminated quoted tag \"\\\"ab =1\""},
      {"'ab\"", "bad feature \"'ab\\\"\": unterminated quoted tag \"'ab\\\"\""},
      {"\"a,b\"=1", "bad feature \"\\\"a\": unterminated quoted tag \"\\\"a\""},  // commas always split
      // "=" with nothing after it
      {"liga=", "bad feature \"liga=\": `=` without a value"},
      {"liga =  ", "bad feature \"liga =\": `=` without a value"},
      {"=", "bad feature \"=\": `=` without a value"},
      {"'ab'=", "bad feature \"'ab'=\": `=` without a value"},
      // ranges
      {"liga[1:3]", "bad feature \"liga[1:3]\": " + range},
      {"liga [1:3]", "bad feature \"liga [1:3]\": " + range},
      {"[1:3]", "bad feature \"[1:3]\": " + range},
      {"'ab'[", "bad feature \"'ab'[\": " + range},
      // values
      {"liga=-1", "bad feature \"liga=-1\": feature value \"-1\" must be a non-negative integer or on/off"},
      {"liga=+1", "bad feature \"liga=+1\": feature value \"+1\" must be a non-negative integer or on/off"},
      {"liga=1 2", "bad feature \"liga=1 2\": feature value \"1 2\" must be a non-negative integer or on/off"},
      {"liga=[1:3]",
       "bad feature \"liga=[1:3]\": feature value \"[1:3]\" must be a non-negative integer or on/off"},
      {"liga==1", "bad feature \"liga==1\": feature value \"=1\" must be a non-negative integer or on/off"},
      {"liga=0x1", "bad feature \"liga=0x1\": feature value \"0x1\" must be a non-negative integer or on/off"},
      {"liga=onn", "bad feature \"liga=onn\": feature value \"onn\" must be a non-negative integer or on/off"},
      {"liga o n", "bad feature \"liga o n\": feature value \"o n\" must be a non-negative integer or on/off"},
      {"liga=\xef\xbc\x91",  // FULLWIDTH DIGIT ONE
       "bad feature \"liga=\xef\xbc\x91\": feature value \"\xef\xbc\x91\" must be a non-negative integer or on/off"},
      {"'ab'cd", "bad feature \"'ab'cd\": feature value \"cd\" must be a non-negative integer or on/off"},
      {"liga=\"1\"",
       "bad feature \"liga=\\\"1\\\"\": feature value \"\\\"1\\\"\" must be a non-negative integer or on/off"},
      {"liga=2147483648",
       "bad feature \"liga=2147483648\": feature value \"2147483648\" out of range: number too large to fit in "
       "target type"},
      {"liga=99999999999999999999999",
       "bad feature \"liga=99999999999999999999999\": feature value \"99999999999999999999999\" out of range: "
       "number too large to fit in target type"},
      // the value is checked before the tag
      {"abcde=x", "bad feature \"abcde=x\": feature value \"x\" must be a non-negative integer or on/off"},
      {"=x", "bad feature \"=x\": feature value \"x\" must be a non-negative integer or on/off"},
      {"abcde=4294967296",
       "bad feature \"abcde=4294967296\": feature value \"4294967296\" out of range: number too large to fit in "
       "target type"},
      // tag length in bytes
      {"=1", "bad feature \"=1\": feature tag \"\" must be 1..=4 characters (got 0)"},
      {"''", "bad feature \"''\": feature tag \"\" must be 1..=4 characters (got 0)"},
      {"-\"\"=2", "bad feature \"-\\\"\\\"=2\": feature tag \"\" must be 1..=4 characters (got 0)"},
      {"abcde", "bad feature \"abcde\": feature tag \"abcde\" must be 1..=4 characters (got 5)"},
      {"--liga", "bad feature \"--liga\": feature tag \"-liga\" must be 1..=4 characters (got 5)"},
      {"\xc3\xa9\xc3\xa9\xc3\xa9", "bad feature \"\xc3\xa9\xc3\xa9\xc3\xa9\": feature tag \"\xc3\xa9\xc3\xa9\xc3\xa9\" "
                                   "must be 1..=4 characters (got 6)"},
      // non-ASCII white space does not end an unquoted tag
      {"liga\xe2\x80\x83=2",
       "bad feature \"liga\\u{2003}=2\": feature tag \"liga\\u{2003}\" must be 1..=4 characters (got 7)"},
      // tag bytes
      {"\xc3\xa9", "bad feature \"\xc3\xa9\": feature tag \"\xc3\xa9\" contains a non-printable-ASCII byte 0xc3"},
      {"ab\xc2\xa0=1",
       "bad feature \"ab\\u{a0}=1\": feature tag \"ab\\u{a0}\" contains a non-printable-ASCII byte 0xc2"},
      {"a\x0b" "b",  // vertical tab does not end an unquoted tag
       "bad feature \"a\\u{b}b\": feature tag \"a\\u{b}b\" contains a non-printable-ASCII byte 0x0b"},
      {"'\t'", "bad feature \"'\\t'\": feature tag \"\\t\" contains a non-printable-ASCII byte 0x09"},
      {"'\0'"s, "bad feature \"'\\0'\": feature tag \"\\0\" contains a non-printable-ASCII byte 0x00"},
      {"'a\x7f'", "bad feature \"'a\\u{7f}'\": feature tag \"a\\u{7f}\" contains a non-printable-ASCII byte 0x7f"},
      {"'ab\ncd'", "bad feature \"'ab\\ncd'\": feature tag \"ab\\ncd\" must be 1..=4 characters (got 5)"},
      // the first failing item decides, later items are not looked at
      {"liga, kern=x, abcde", "bad feature \"kern=x\": feature value \"x\" must be a non-negative integer or on/off"},
  };
  for (const Case &c : cases) {
    Parsed p = parse(c.in);
    EXPECT_EQ(p.error, c.message) << c.in;
    EXPECT_TRUE(p.records.empty()) << c.in;
  }
}

TEST(QuotedForm, EscapesControlFormatSeparatorUnassignedAndExtendingCharacters) {
  struct Case {
    std::string in;
    std::string out;  // between the outer quotes
  };
  const Case cases[] = {
      {"", ""},
      {"liga", "liga"},
      {"a b", "a b"},  // the ASCII space stays
      {"'", "'"},
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\0"s, "\\0"},
      {"\t", "\\t"},
      {"\n", "\\n"},
      {"\r", "\\r"},
      {"\x01", "\\u{1}"},
      {"\x0b", "\\u{b}"},
      {"\x0c", "\\u{c}"},
      {"\x1f", "\\u{1f}"},
      {"\x7f", "\\u{7f}"},
      {"\xc2\x85", "\\u{85}"},              // Cc
      {"\xc2\xa0", "\\u{a0}"},              // Zs
      {"\xc2\xad", "\\u{ad}"},              // Cf
      {"\xe1\x9a\x80", "\\u{1680}"},        // Zs
      {"\xe2\x80\x8b", "\\u{200b}"},        // Cf
      {"\xe2\x80\x8c", "\\u{200c}"},        // Cf and Grapheme_Extend
      {"\xe2\x80\xa8", "\\u{2028}"},        // Zl
      {"\xe2\x80\xa9", "\\u{2029}"},        // Zp
      {"\xe3\x80\x80", "\\u{3000}"},        // Zs
      {"\xef\xbb\xbf", "\\u{feff}"},        // Cf
      {"\xcd\xb8", "\\u{378}"},             // Cn
      {"\xee\x80\x80", "\\u{e000}"},        // Co
      {"\xf3\xa0\x80\x81", "\\u{e0001}"},   // Cf
      {"\xf4\x8f\xbf\xbf", "\\u{10ffff}"},  // Cn
      {"e\xcc\x81", "e\\u{301}"},           // Mn, Grapheme_Extend
      {"\xe2\x83\x9d", "\\u{20dd}"},        // Me, Grapheme_Extend
      {"\xef\xbe\x9e", "\\u{ff9e}"},        // Lm, but Grapheme_Extend
      {"\xf0\x9d\x85\xa5", "\\u{1d165}"},   // Mc, but Grapheme_Extend
      {"\xc3\xa9", "\xc3\xa9"},             // é
      {"\xcd\xba", "\xcd\xba"},             // U+037A, Lm
      {"\xe2\x82\xac", "\xe2\x82\xac"},     // €
      {"\xe4\xb8\xad", "\xe4\xb8\xad"},     // CJK
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"a\"b\\c\td\xe2\x80\x8b" "e", "a\\\"b\\\\c\\td\\u{200b}e"},
  };
  for (const Case &c : cases) EXPECT_EQ(tesvo::quoted(c.in), "\"" + c.out + "\"") << c.in;
}

}  // namespace
