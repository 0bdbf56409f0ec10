// Reading the ScriptList of 'GSUB' and 'GPOS'. HarfBuzz up to 12.2 (Debian
// 12's and 13's) checks these tables once and zeroes each offset whose
// target does not fit, keeping the records around it; the reading below
// gives the same lists without changing bytes. (From 12.3 on, HarfBuzz
// drops a table with any such offset whole.)
#include "font/layout_tags.h"

#include <algorithm>
#include <optional>

#include "font/font_reader.h"

namespace tesvo {

namespace {

std::string tag_text(const FontReader &table, std::uint64_t at) {
  std::optional<std::span<const std::uint8_t>> bytes = table.slice(at, 4);
  if (!bytes) return {};
  return {bytes->begin(), bytes->end()};
}

// A LangSys: six bytes, then its feature indices.
bool language_system_fits(const FontReader &table, std::uint64_t at) {
  std::optional<std::uint16_t> features = table.u16(at + 4);
  return features && table.has(at + 6, 2ULL * *features);
}

// A Script at `at`: nothing when its language-system records do not fit (a
// script HarfBuzz empties); a default language system only when it fits.
void read_script(const FontReader &table, std::uint64_t at, LayoutScript &script) {
  std::optional<std::uint16_t> default_offset = table.u16(at);
  std::optional<std::uint16_t> count = table.u16(at + 2);
  if (!default_offset || !count || !table.has(at + 4, 6ULL * *count)) return;
  script.has_default_language = *default_offset != 0 && language_system_fits(table, at + *default_offset);
  script.languages.reserve(*count);
  for (std::uint32_t i = 0; i < *count; ++i) script.languages.push_back(tag_text(table, at + 4 + 6ULL * i));
}

std::vector<LayoutScript> script_list(std::span<const std::uint8_t> bytes) {
  FontReader table(bytes);
  std::optional<std::uint16_t> major = table.u16(0), minor = table.u16(2);
  if (!major || *major != 1 || !table.has(0, *minor >= 1 ? 14 : 10)) return {};
  const std::uint64_t list = *table.u16(4);
  std::optional<std::uint16_t> count = table.u16(list);
  if (list == 0 || !count || !table.has(list + 2, 6ULL * *count)) return {};

  std::vector<LayoutScript> scripts(*count);
  for (std::uint32_t i = 0; i < *count; ++i) {
    const std::uint64_t record = list + 2 + 6ULL * i;
    scripts[i].tag = tag_text(table, record);
    const std::uint16_t offset = *table.u16(record + 4);
    if (offset != 0) read_script(table, list + offset, scripts[i]);
  }
  return scripts;
}

// The tags of a table's FeatureList, in the font's order, repeats left out.
void feature_list(std::span<const std::uint8_t> bytes, std::vector<std::string> &out) {
  FontReader table(bytes);
  std::optional<std::uint16_t> major = table.u16(0), minor = table.u16(2);
  if (!major || *major != 1 || !table.has(0, *minor >= 1 ? 14 : 10)) return;
  const std::uint64_t list = *table.u16(6);
  std::optional<std::uint16_t> count = table.u16(list);
  if (list == 0 || !count || !table.has(list + 2, 6ULL * *count)) return;
  for (std::uint32_t i = 0; i < *count; ++i) {
    std::string tag = tag_text(table, list + 2 + 6ULL * i);
    if (std::find(out.begin(), out.end(), tag) == out.end()) out.push_back(std::move(tag));
  }
}

}  // namespace

std::optional<std::vector<std::string>> layout_features(std::span<const std::uint8_t> font) {
  if (!face_table(font, tag("morx")).empty()) return std::nullopt;
  std::vector<std::string> out;
  feature_list(face_table(font, tag("GSUB")), out);
  feature_list(face_table(font, tag("GPOS")), out);
  if (!face_table(font, tag("kern")).empty() && std::find(out.begin(), out.end(), "kern") == out.end())
    out.push_back("kern");
  return out;
}

LayoutTags layout_tags(std::span<const std::uint8_t> font) {
  return {script_list(face_table(font, tag("GSUB"))), script_list(face_table(font, tag("GPOS")))};
}

}  // namespace tesvo
