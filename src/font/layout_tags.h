// The scripts and language systems a font's layout tables declare, so that
// a request for one the font lacks can be told apart from one it has.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tesvo {

// One ScriptList record: its tag, whether the script has a default language
// system, and the tags of its other language systems, in the font's order.
// Tags are the font's four bytes.
struct LayoutScript {
  std::string tag;
  bool has_default_language = false;
  std::vector<std::string> languages;
};

// The ScriptLists of 'GSUB' and 'GPOS'; a missing or unreadable table has none.
struct LayoutTags {
  std::vector<LayoutScript> gsub;
  std::vector<LayoutScript> gpos;
};

// The layout tags of a font (the first face of a collection), as HarfBuzz
// up to 12.2 reports them (hb_ot_layout_table_get_script_tags and
// hb_ot_layout_script_get_language_tags): a table whose header or version
// HarfBuzz refuses lists no script; a script or language system whose data
// lies outside the table keeps its tag but counts as empty.
LayoutTags layout_tags(std::span<const std::uint8_t> font);

// The feature tags a request can reach in a font (the first face of a
// collection): those of the FeatureLists of 'GSUB' and 'GPOS' (read as the
// ScriptLists are), and 'kern' where a 'kern' table is there for HarfBuzz to
// apply. Nothing for a font with 'morx', whose features HarfBuzz maps from
// OpenType tags of its own choosing (the list would not say what applies).
std::optional<std::vector<std::string>> layout_features(std::span<const std::uint8_t> font);

}  // namespace tesvo
