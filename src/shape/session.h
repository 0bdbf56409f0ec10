// A font held for many texts, the engine entry of the structured results, and
// the records they come back as. The font is read, checked and handed to the
// backend once; each text then goes through the driver as a compatibility
// request's text does.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shape/driver.h"
#include "text/features.h"
#include "font/font.h"
#include "json/writer.h"
#include "font/layout_tags.h"
#include "base/result.h"
#include "base/spare_mapping.h"
#include "abi/loader.h"

namespace tesvo {

// The options of a text, as given.
struct TextOptions {
  std::string direction = "auto";  // "auto" (first strong character), "ltr" or "rtl"
  std::string features;            // feature list, see parse_features
  std::string script;              // OpenType script tag for every item; "" lets the font choose
  std::string language;            // OpenType language system tag; "" is the default one
  std::string variations;          // hb-shape's --variations syntax; "" is the default instance
  bool trace = false;
  // Ask the backend for what costs it more: each item's ABC widths (a look at every
  // glyph's extents) and its characters' break attributes (ScriptBreak).
  bool extras = false;
};

struct ShapedItemRecord {
  std::uint32_t start;  // UTF-16 code units of the text
  std::uint32_t end;
  std::uint8_t level;   // bidi embedding level
  bool rtl;
  OPENTYPE_TAG script_tag;  // the tag the item was shaped with
  std::uint16_t script;     // the backend's script number
  bool continues;           // a piece of the item before it, cut at the glyph limit
};

// In the order of the compatibility result: items in logical order, the
// glyphs of a right-to-left item in visual order.
struct ShapedGlyphRecord {
  std::uint16_t id;
  std::uint16_t props;    // the glyph's SCRIPT_VISATTR as packed_visattr packs it
  std::uint32_t cluster;  // UTF-16 code unit of the text
  std::uint32_t item;
  std::int32_t advance;
  std::int32_t du;  // along the advance: negated for right-to-left items
  std::int32_t dv;
};

// A glyph of a trace stage. The cluster is the shaper's at that stage (UTF-16
// code unit of the text), or -1 where the port does not say; the advance and
// offsets (HarfBuzz's convention) are set only where the stage positions.
struct StageGlyphRecord {
  std::uint16_t id;
  std::int64_t cluster = -1;
  std::int32_t advance = 0;
  std::int32_t x_offset = 0;
  std::int32_t y_offset = 0;
};

// A stage as the change it made to the stage before it of the same item:
// that stage's glyphs [start, stop) replaced by `glyphs` (the first stage of
// an item replaces nothing). Glyphs run in the shaper's buffer order.
struct StageRecord {
  std::uint32_t item;
  std::string kind;  // cmap, reorder, substitute, position, final; "" where the port does not say
  std::string name;
  bool positioned = false;
  std::size_t count = 0;  // the glyphs of the whole stage
  std::size_t start = 0;
  std::size_t stop = 0;
  std::vector<StageGlyphRecord> glyphs;
  std::vector<std::uint16_t> nested = {};  // the lookups a contextual lookup called
};

// A glyph's SCRIPT_VISATTR as one small number: uJustification in the low
// four bits, then fClusterStart, fDiacritic and fZeroWidth (bits 4, 5, 6).
constexpr std::uint16_t packed_visattr(const SCRIPT_VISATTR &v) {
  return static_cast<std::uint16_t>(v.uJustification | (v.fClusterStart << 4U) | (v.fDiacritic << 5U) |
                                    (v.fZeroWidth << 6U));
}
inline constexpr std::uint16_t kPackedJustification = 0xF;
inline constexpr std::uint16_t kPackedClusterStart = 1U << 4U;
inline constexpr std::uint16_t kPackedDiacritic = 1U << 5U;
inline constexpr std::uint16_t kPackedZeroWidth = 1U << 6U;

// What the backend's Uniscribe outputs say of an item beyond its glyphs: its
// analysis as itemized (with its SCRIPT_STATE) and its ABC widths.
struct ItemProps {
  SCRIPT_ANALYSIS analysis;
  ABC abc;
};

struct ShapedText {
  std::vector<ShapedItemRecord> items;
  std::vector<ShapedGlyphRecord, SpareAllocator<ShapedGlyphRecord>> glyphs;
  std::vector<StageRecord> stages;
  std::vector<ItemCut> cuts;  // the itemizer's items shaped as several
  // The backend's own outputs, as it returned them: per item; per glyph, in
  // the order of `glyphs`; per UTF-16 code unit of the text, the log cluster
  // (an index into the item's glyphs in the backend's logical order) and the
  // character properties; and, when asked for and the backend has ScriptBreak,
  // the break attributes (empty otherwise).
  std::vector<ItemProps> item_props;
  std::vector<SCRIPT_GLYPHPROP> glyph_props;
  std::vector<WORD> log_clusters;
  std::vector<SCRIPT_CHARPROP> char_props;
  std::vector<SCRIPT_LOGATTR> breaks;
  bool widths = false;  // item_props' ABC widths were asked for
};

class FontSession {
 public:
  // Face `index` of the font bytes, for the backend at `backend` (else the
  // loader's order of choice). The session keeps a view of `bytes` where it
  // can (see face_bytes): they must outlive it.
  static Result<std::unique_ptr<FontSession>> open(std::span<const std::uint8_t> bytes, std::uint32_t index,
                                                   const std::optional<std::string> &backend);
  ~FontSession();
  FontSession(const FontSession &) = delete;
  FontSession &operator=(const FontSession &) = delete;

  // Checks the options against the syntax and what the backend applies, once
  // for many texts.
  Result<TextPlan> plan(const TextOptions &options) const;
  // Every fvar axis at the plan's location, as the backend reports it.
  Result<std::vector<AxisCoordinate>> coordinates(const TextPlan &plan);
  // Safe from several threads at once: the backend is used under the port lock.
  Result<ShapedText> shape(std::u16string_view text, const TextPlan &plan);
  // The same text as the compatibility call's result document, the font named
  // by `path` (and, without a family name, by its stem).
  Result<JsonText> document(std::u16string_view text, const TextPlan &plan, const std::string &path,
                            bool compact = false);

  std::uint32_t upem() const { return metrics_.upem; }
  std::uint32_t glyph_count() const { return metrics_.glyph_count; }
  const std::string &family() const { return family_; }
  const std::string &backend_name() const { return backend_name_; }
  // What the backend says it runs on ("HarfBuzz 10.2.0, ICU 76.1"); empty
  // when it does not say.
  std::string backend_version() const;
  // The name of every glyph as HarfBuzz gives it (see glyph_names.h), read
  // from the font on the first call.
  const std::vector<std::string> &glyph_names() const;
  // The scripts and language systems of the font's GSUB and GPOS, read once.
  const LayoutTags &layout() const;

 private:
  FontSession(FontBytes font, Usp10 usp);
  PortFont port_font() const { return PortFont{font_.span(), owner_}; }

  FontBytes font_;
  Usp10 usp_;
  FontMetrics metrics_;
  std::string family_;
  std::string backend_name_;
  std::uint64_t owner_;
  // The language system tag of a BCP 47 code, as the backend maps it, the
  // first of its candidates the font has.
  Result<OPENTYPE_TAG> language_system(const std::string &code) const;
  static constexpr int kMaxLanguageTags = 8;

  mutable std::once_flag names_once_;
  mutable std::once_flag layout_once_;
  mutable LayoutTags layout_;
  mutable std::vector<std::string> names_;
};

}  // namespace tesvo
