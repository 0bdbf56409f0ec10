// Glyph names against the machine's HarfBuzz: fonts built byte by byte
// ('post' 1, 2, 2.5 and 3, CFF charsets of every format, damaged tables) and
// every font installed on the machine, glyph by glyph.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "font_builder.h"
#include "hb_oracle.h"
#include "font/font.h"
#include "font/glyph_names.h"

namespace {

using namespace font_builder;
using namespace std::string_literals;

Bytes otf(std::uint16_t glyphs, const std::vector<Table> &more) {
  std::vector<Table> tables = {{"maxp", maxp(glyphs)}};
  tables.insert(tables.end(), more.begin(), more.end());
  return sfnt("OTTO", tables);
}

Bytes with_cff(const CffParts &parts, std::vector<Table> more = {}) {
  more.push_back({"CFF ", cff(parts)});
  more.push_back({"post", post(0x00030000)});
  return otf(parts.glyphs, more);
}

// Charsets: format 0 (one string id per glyph after .notdef) and formats
// 1 and 2 (ranges of a first id and a count of ids that follow).
Bytes charset0(const std::vector<std::uint16_t> &sids) {
  Bytes b{0};
  for (std::uint16_t sid : sids) put16(b, b.size(), sid);
  return b;
}
Bytes charset_ranges(std::uint8_t format, const std::vector<std::pair<std::uint16_t, std::uint16_t>> &ranges) {
  Bytes b{format};
  for (auto [first, left] : ranges) {
    put16(b, b.size(), first);
    if (format == 1)
      b.push_back(static_cast<std::uint8_t>(left));
    else
      put16(b, b.size(), left);
  }
  return b;
}

std::vector<std::string> first(const std::vector<std::string> &names, std::size_t n) {
  return {names.begin(), names.begin() + static_cast<std::ptrdiff_t>(std::min(n, names.size()))};
}

struct Case {
  const char *what;
  Bytes font;
  std::vector<std::string> expected;  // the first names
};

void check(const Case &c) {
  std::vector<std::string> ours = tesvo::glyph_names(c.font);
  EXPECT_EQ(ours, hb_oracle::glyph_names(c.font)) << c.what;
  EXPECT_EQ(first(ours, c.expected.size()), c.expected) << c.what;
}

// A directory of 16 tables, 'post' first and the rest in order: HarfBuzz
// searches a directory that long by halves and so does not find 'post'.
Bytes post_out_of_order(std::uint16_t glyphs) {
  std::vector<Table> tables = {{"post", post(0x00010000)}};
  for (int i = 0; i < 14; ++i) tables.push_back({"a0" + std::to_string(10 + i), {}});
  tables.push_back({"maxp", maxp(glyphs)});
  return sfnt("OTTO", tables);
}

TEST(GlyphNames, PostTablesOfEveryVersion) {
  const std::string long_name(200, 'x');
  const Case cases[] = {
      {"version 1: the Macintosh names, then none past 258", otf(260, {{"post", post(0x00010000)}}),
       {".notdef", ".null", "nonmarkingreturn", "space"}},
      {"version 2: standard indices, own strings, an empty string, an index past the strings, a NUL",
       otf(7, {{"post", post2({0, 258, 259, 3, 1000, 260}, {"alpha", "", "b\0c"s})}}),
       {".notdef", "alpha", "gid2", "space", "gid4", "b", "gid6"}},
      {"version 2: a name longer than hb-shape prints", otf(1, {{"post", post2({258}, {long_name})}}),
       {long_name.substr(0, tesvo::kMaxGlyphNameBytes)}},
      {"version 2: a string running past the end of the table",
       otf(2, {{"post", post2({258, 259}, {"one", "two"}), {}, 34 + 4 + 4 + 3}}), {"one", "gid1"}},
      {"version 2: an index list running past the end of the table",
       otf(3, {{"post", post2({3, 4, 5}, {}), {}, 38}}), {"gid0", "gid1", "gid2"}},
      {"version 2.5 is not read", otf(2, {{"post", post(0x00025000)}}), {"gid0", "gid1"}},
      {"version 3 has no names", otf(2, {{"post", post(0x00030000)}}), {"gid0", "gid1"}},
      {"a header cut short", otf(2, {{"post", post(0x00010000), {}, 31}}), {"gid0", "gid1"}},
      {"no post", otf(1, {}), {"gid0"}},
      {"post out of order in a long directory", post_out_of_order(2), {"gid0", "gid1"}},
      {"a collection member of an unknown version",
       collection({{"maxp", maxp(2)}, {"post", post(0x00010000)}}, "wOFF"), {".notdef", ".null"}},
      {"a single font of an unknown version", sfnt("wOFF", {{"maxp", maxp(2)}, {"post", post(0x00010000)}}),
       {}},
  };
  for (const Case &c : cases) check(c);
}

TEST(GlyphNames, CffCharsetsOfEveryFormat) {
  auto parts = [](std::uint16_t glyphs, Bytes charset, std::vector<std::string> strings = {"alpha", "beta"}) {
    CffParts s;
    s.glyphs = glyphs;
    s.charset = std::move(charset);
    s.strings = std::move(strings);
    return s;
  };
  auto predefined = [](std::uint16_t glyphs, std::int32_t id) {
    CffParts s;
    s.glyphs = glyphs;
    s.charset_offset = id;
    return s;
  };
  CffParts cid = parts(3, charset0({391, 392}));
  cid.top_extra = {0x8b, 0x8c, 0x8b, 0x0c, 0x1e};  // ROS 0 1 0
  CffParts reals = parts(2, charset0({391}));
  // FontMatrix [.001 0 0 .001 0 0] as real numbers.
  reals.top_extra = {0x1e, 0xa0, 0x01, 0xff, 0x8b, 0x8b, 0x1e, 0xa0, 0x01, 0xff, 0x8b, 0x8b, 0x0c, 0x07};
  const Case cases[] = {
      {"format 0", with_cff(parts(4, charset0({391, 5, 392}))), {".notdef", "alpha", "dollar", "beta"}},
      {"format 1", with_cff(parts(5, charset_ranges(1, {{34, 2}, {391, 0}}))),
       {".notdef", "A", "B", "C", "alpha"}},
      {"format 2", with_cff(parts(4, charset_ranges(2, {{392, 0}, {17, 1}}))), {".notdef", "beta", "zero", "one"}},
      {"a string id past the String INDEX", with_cff(parts(3, charset0({391, 500}))), {".notdef", "alpha", "gid2"}},
      {"ISOAdobe: the standard strings, then .notdef past zcaron", with_cff(predefined(231, 0)),
       {".notdef", "space", "exclam"}},
      {"Expert", with_cff(predefined(4, 1)), {".notdef", "space", "exclamsmall", "Hungarumlautsmall"}},
      {"Expert Subset", with_cff(predefined(4, 2)), {".notdef", "space", "dollaroldstyle", "dollarsuperior"}},
      {"real numbers in the Top DICT", with_cff(reals), {".notdef", "alpha"}},
      {"CID-keyed", with_cff(cid), {"gid0", "gid1", "gid2"}},
      {"'post' first, then CFF past its glyphs", with_cff(parts(3, charset0({391, 392})), {{"post", post2({3}, {})}}),
       {"space", "alpha", "beta"}},
  };
  for (const Case &c : cases) check(c);
}

TEST(GlyphNames, DamagedCffFallsBackToGlyphIds) {
  auto broken = [](auto change) {
    CffParts s;
    s.glyphs = 3;
    s.charset = charset0({391, 392});
    s.strings = {"alpha", "beta"};
    change(s);
    return with_cff(s);
  };
  const Case cases[] = {
      {"charset ranges covering more glyphs than the font has",
       broken([](CffParts &s) { s.charset = charset_ranges(1, {{391, 5}}); }), {"gid0", "gid1", "gid2"}},
      {"charset of an unknown format", broken([](CffParts &s) { s.charset = {3, 0, 0, 0, 0}; }), {"gid0"}},
      {"charset past the end of the table", broken([](CffParts &s) { s.charset_offset = 5000; }), {"gid0"}},
      {"CharStrings fewer than the glyphs", broken([](CffParts &s) { s.char_strings_count = 2; }), {"gid0"}},
      {"a negative count", broken([](CffParts &s) { s.top_extra = {0x8a, 0x0c, 0x22}; }), {"gid0"}},
      {"a reserved nibble in a real number", broken([](CffParts &s) { s.top_extra = {0x1e, 0xd0, 0x0c, 0x07}; }),
       {"gid0"}},
      {"an operator without its operand", broken([](CffParts &s) { s.top_extra = {0x0c, 0x00}; }), {"gid0"}},
      {"a number cut short", broken([](CffParts &s) { s.private_dict = {0x1c, 0x00}; }), {"gid0"}},
      {"a stack deeper than 513", broken([](CffParts &s) { s.private_dict = Bytes(514, 0x8b); }), {"gid0"}},
  };
  for (const Case &c : cases) check(c);

  // An Encoding appended to the table; names only when it fits whole.
  auto with_encoding = [&](Bytes encoding) {
    CffParts s;
    s.glyphs = 3;
    s.charset = charset0({391, 392});
    s.strings = {"alpha", "beta"};
    s.top_extra = dict_int(0);
    s.top_extra.push_back(16);
    s.top_extra = dict_int(static_cast<std::int32_t>(cff(s).size()));
    s.top_extra.push_back(16);
    Bytes table = cff(s);
    table.insert(table.end(), encoding.begin(), encoding.end());
    return otf(3, {{"CFF ", table}});
  };
  const Case encodings[] = {
      {"an Encoding of format 0", with_encoding({0, 2, 65, 66}), {".notdef", "alpha", "beta"}},
      {"an Encoding of format 1 with a supplement", with_encoding({0x81, 1, 65, 1, 1, 67, 0, 1}),
       {".notdef", "alpha", "beta"}},
      {"an Encoding cut short", with_encoding({0, 5, 65}), {"gid0", "gid1", "gid2"}},
      {"an Encoding of format 2", with_encoding({2, 0}), {"gid0", "gid1", "gid2"}},
      {"a supplement after no codes", with_encoding({0x80, 0, 1, 67, 0, 1}), {"gid0", "gid1", "gid2"}},
  };
  for (const Case &c : encodings) check(c);

  // A String INDEX whose data would run past the end of the table: its last
  // offset stands just before the data.
  Bytes font = broken([](CffParts &) {});
  const std::string data = "alphabeta";
  auto at = std::search(font.begin(), font.end(), data.begin(), data.end());
  ASSERT_NE(at, font.end());
  *(at - 1) = 0xF0;
  check({"String INDEX data past the end", font, {"gid0", "gid1", "gid2"}});

  // Every cut of a good table: fallbacks, never a read past the end.
  const Bytes good = cff([] {
    CffParts s;
    s.glyphs = 3;
    s.charset = charset0({391, 392});
    s.strings = {"alpha", "beta"};
    return s;
  }());
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    Bytes table(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    Bytes font = otf(3, {{"CFF ", table}});
    EXPECT_EQ(tesvo::glyph_names(font), hb_oracle::glyph_names(font)) << "CFF cut to " << cut << " bytes";
  }
}

// Every font installed on the machine (the first face of a collection).
TEST(GlyphNames, EveryInstalledFontMatchesHarfBuzz) {
  std::size_t fonts = 0, glyphs = 0, named = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator("/usr/share/fonts")) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".ttf" && ext != ".otf" && ext != ".ttc") continue;
    tesvo::Result<tesvo::FontBytes> file = tesvo::read_font_file(entry.path().string());
    ASSERT_TRUE(file) << entry.path();
    tesvo::Result<tesvo::FontBytes> face = tesvo::extract_face(file->span(), 0);
    ASSERT_TRUE(face) << entry.path();
    std::vector<std::string> ours = tesvo::glyph_names(face->span());
    std::vector<std::string> theirs = hb_oracle::glyph_names(face->span());
    ASSERT_EQ(ours.size(), theirs.size()) << entry.path();
    for (std::size_t gid = 0; gid < ours.size(); ++gid)
      ASSERT_EQ(ours[gid], theirs[gid]) << entry.path() << " glyph " << gid;
    ++fonts;
    glyphs += ours.size();
    for (std::size_t gid = 0; gid < ours.size(); ++gid) named += ours[gid] != tesvo::fallback_glyph_name(gid);
  }
  std::cout << "compared " << glyphs << " glyph names (" << named << " from the fonts) of " << fonts << " fonts\n";
  EXPECT_GT(fonts, 0u);
}

}  // namespace
