// Item levels against the Unicode bidi conformance data, for the lines with
// an explicit paragraph direction (0 or 1; "auto" lines are skipped).
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace vantor_test {
namespace {

// Lines whose levels FriBidi 1.0.8 resolves differently from the data of
// Unicode 15.0: none. Pinned, so that any change shows up here.
constexpr int kKnownMismatches = 0;

// True when every character's item has the level the line expects ('x',
// a character removed by the algorithm, matches any level).
bool line_passes(const std::string &line, int *counted) {
  std::stringstream fields(line);
  std::string chars, direction, paragraph_level, expected;
  std::getline(fields, chars, ';');
  std::getline(fields, direction, ';');
  std::getline(fields, paragraph_level, ';');
  std::getline(fields, expected, ';');
  if (direction != "0" && direction != "1") return true;
  ++*counted;
  std::u32string code_points;
  std::stringstream hex(chars);
  for (std::string c; hex >> c;) code_points.push_back(std::stoul(c, nullptr, 16));
  const std::u16string text = utf16(code_points);
  const std::vector<Item> items = itemize(text, direction == "1");
  std::stringstream levels(expected);
  int unit = 0;
  std::size_t item = 0;
  for (char32_t c : code_points) {
    std::string level;
    levels >> level;
    while (item < items.size() && items[item].end <= unit) ++item;
    if (item == items.size()) return false;
    if (level != "x" && items[item].analysis.s.uBidiLevel != std::stoul(level)) return false;
    unit += c > 0xFFFF ? 2 : 1;
  }
  return true;
}

TEST(BidiConformance, ItemLevelsMatchBidiCharacterTest) {
  std::ifstream in("/usr/share/unicode/BidiCharacterTest.txt");
  if (!in) GTEST_SKIP() << "BidiCharacterTest.txt not installed (package unicode-data)";
  int total = 0, failed = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#' || line_passes(line, &total)) continue;
    if (++failed <= 20) std::cout << "  mismatch: " << line << "\n";
  }
  std::cout << "BidiCharacterTest: " << total - failed << " of " << total
            << " lines with paragraph direction 0 or 1 pass\n";
  ASSERT_GT(total, 90000);
  EXPECT_EQ(failed, kKnownMismatches);
}

}  // namespace
}  // namespace vantor_test
