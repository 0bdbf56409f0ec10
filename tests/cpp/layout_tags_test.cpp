// The scripts and language systems of 'GSUB' and 'GPOS' against the
// machine's HarfBuzz: tables built byte by byte, damaged ones, and Debian's
// fonts of several scripts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "font_builder.h"
#include "hb_oracle.h"
#include "font/font.h"
#include "font/layout_tags.h"

namespace {

using namespace font_builder;

std::vector<std::string> tags(const std::vector<tesvo::LayoutScript> &scripts) {
  std::vector<std::string> out;
  for (const tesvo::LayoutScript &s : scripts) out.push_back(s.tag);
  return out;
}

// Tags and language tags as HarfBuzz gives them; a default language system
// wherever HarfBuzz finds features in one.
void expect_as_harfbuzz(const std::vector<tesvo::LayoutScript> &ours, std::span<const std::uint8_t> font,
                        hb_tag_t table, const std::string &what) {
  std::vector<tesvo::LayoutScript> theirs = hb_oracle::scripts(font, table);
  ASSERT_EQ(tags(ours), tags(theirs)) << what;
  for (std::size_t i = 0; i < ours.size(); ++i) {
    EXPECT_EQ(ours[i].languages, theirs[i].languages) << what << " " << ours[i].tag;
    if (theirs[i].has_default_language) {
      EXPECT_TRUE(ours[i].has_default_language) << what << " " << ours[i].tag;
    }
  }
}

TEST(LayoutTags, BuiltTablesAndDamagedOnes) {
  struct Case {
    const char *what;
    Bytes table;
    std::vector<std::string> scripts;
    std::vector<bool> defaults;
    std::vector<std::vector<std::string>> languages;
  };
  const Case cases[] = {
      {"scripts with and without a default and language systems",
       layout_table({{"DFLT", true, {}}, {"latn", true, {"TRK ", "ROM "}}, {"arab", false, {"URD "}}}),
       {"DFLT", "latn", "arab"},
       {true, true, false},
       {{}, {"TRK ", "ROM "}, {"URD "}}},
      {"a script past the end keeps its tag", layout_table({{"latn", true, {"TRK "}}, {"cyrl", true, {}, 900}}),
       {"latn", "cyrl"},
       {true, false},
       {{"TRK "}, {}}},
      {"a default language system past the end",
       layout_table({{"latn", true, {"TRK "}, {}, std::uint16_t{900}}}),
       {"latn"},
       {false},
       {{"TRK "}}},
      {"version 2 lists nothing", layout_table({{"latn", true, {}}}, 0x00020000), {}, {}, {}},
  };
  for (const Case &c : cases) {
    for (const char *table_tag : {"GSUB", "GPOS"}) {
      Bytes font = sfnt("OTTO", {{"maxp", maxp(1)}, {table_tag, c.table}});
      tesvo::LayoutTags found = tesvo::layout_tags(font);
      const bool gsub = table_tag == std::string("GSUB");
      const std::vector<tesvo::LayoutScript> &ours = gsub ? found.gsub : found.gpos;
      EXPECT_TRUE((gsub ? found.gpos : found.gsub).empty()) << c.what;
      expect_as_harfbuzz(ours, font, gsub ? HB_OT_TAG_GSUB : HB_OT_TAG_GPOS, c.what);
      ASSERT_EQ(tags(ours), c.scripts) << c.what;
      for (std::size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i].has_default_language, c.defaults[i]) << c.what << " " << ours[i].tag;
        EXPECT_EQ(ours[i].languages, c.languages[i]) << c.what << " " << ours[i].tag;
      }
    }
  }

  // Every cut of a table: fewer scripts or emptier ones, as HarfBuzz reads them.
  const Bytes whole = layout_table({{"latn", true, {"TRK ", "ROM "}}, {"arab", true, {"URD "}}});
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    Bytes font = sfnt("OTTO", {{"maxp", maxp(1)}, {"GSUB", Bytes(whole.begin(), whole.begin() + cut)}});
    expect_as_harfbuzz(tesvo::layout_tags(font).gsub, font, HB_OT_TAG_GSUB, "cut to " + std::to_string(cut));
  }
}

// Every font installed on the machine as HarfBuzz reports it, and Debian
// fonts of several scripts with a script and language system each is known
// to have (so that the comparison is not between two empty lists).
TEST(LayoutTags, InstalledFontsMatchHarfBuzz) {
  const std::map<std::string, std::pair<std::string, std::string>> known = {
      {"/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf", {"latn", "ROM "}},
      {"/usr/share/fonts/truetype/noto/NotoSansArabic-Regular.ttf", {"arab", "URD "}},
      {"/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf", {"dev2", "MAR "}},
      {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", {"cyrl", "SRB "}},
      {"/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc", {"hani", "KOR "}},
  };
  std::size_t fonts = 0, scripts = 0, found_known = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator("/usr/share/fonts")) {
    const std::string path = entry.path().string(), ext = entry.path().extension().string();
    if (ext != ".ttf" && ext != ".otf" && ext != ".ttc") continue;
    tesvo::Result<tesvo::FontBytes> file = tesvo::read_font_file(path);
    ASSERT_TRUE(file) << path;
    tesvo::Result<tesvo::FontBytes> face = tesvo::extract_face(file->span(), 0);
    ASSERT_TRUE(face) << path;
    tesvo::LayoutTags found = tesvo::layout_tags(face->span());
    expect_as_harfbuzz(found.gsub, face->span(), HB_OT_TAG_GSUB, path);
    expect_as_harfbuzz(found.gpos, face->span(), HB_OT_TAG_GPOS, path);
    ++fonts;
    scripts += found.gsub.size() + found.gpos.size();
    auto k = known.find(path);
    if (k == known.end()) continue;
    auto script = std::find_if(found.gsub.begin(), found.gsub.end(),
                               [&](const tesvo::LayoutScript &s) { return s.tag == k->second.first; });
    ASSERT_NE(script, found.gsub.end()) << path;
    EXPECT_TRUE(script->has_default_language) << path;
    EXPECT_NE(std::find(script->languages.begin(), script->languages.end(), k->second.second),
              script->languages.end())
        << path;
    ++found_known;
  }
  std::cout << "compared the scripts of " << fonts << " fonts (" << scripts << " script records)\n";
  EXPECT_GT(found_known, 0u);
}

}  // namespace
