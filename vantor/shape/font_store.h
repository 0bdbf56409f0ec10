// The font the backend shapes with, taken from bytes, and the recently used
// fonts kept for the next request.
#pragma once

#include <hb-ot.h>
#include <hb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hb_handles.h"

namespace vantor {

// The script tags of one script, kept inline: there are at most
// HB_OT_MAX_TAGS_PER_SCRIPT, and they are asked for on every item.
class ScriptTags {
 public:
  void push_back(hb_tag_t tag) { tags_[count_++] = tag; }
  const hb_tag_t *begin() const { return tags_.data(); }
  const hb_tag_t *end() const { return tags_.data() + count_; }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  hb_tag_t front() const { return tags_[0]; }
  hb_tag_t operator[](std::size_t i) const { return tags_[i]; }

 private:
  std::array<hb_tag_t, HB_OT_MAX_TAGS_PER_SCRIPT> tags_{};
  std::size_t count_ = 0;
};

// One font built from a private copy of its bytes: the HarfBuzz blob, face
// and font (scaled to units per em, no hinting) and facts read once. The
// object never changes after it is built, so script caches can share it.
class FontFace {
 public:
  // Builds the font; *code receives VANTOR_FONT_OK or the failure code of
  // vantor.h. Returns null on failure.
  static std::shared_ptr<const FontFace> build(std::span<const std::uint8_t> bytes,
                                               std::uint64_t hash, int *code);

  // The same font at a location of its variation axes (HarfBuzz clamps each
  // value to its axis and applies avar): it shares the base's face and the
  // facts read from it, with an hb_font of its own. Throws std::bad_alloc.
  static std::shared_ptr<const FontFace> at_location(std::shared_ptr<const FontFace> base,
                                                     std::span<const hb_variation_t> location);

  bool holds(std::span<const std::uint8_t> bytes, std::uint64_t hash) const;

  hb_face_t *face() const { return face_.get(); }
  hb_font_t *font() const { return font_.get(); }
  std::size_t byte_size() const { return base_ ? base_->byte_size() : bytes_.size(); }
  // The location asked for (empty: the font's default instance).
  const std::vector<hb_variation_t> &location() const { return location_; }
  bool has_glyph_classes() const { return has_glyph_classes_; }
  // True when GDEF puts the glyph in the mark class.
  bool is_mark_glyph(hb_codepoint_t glyph) const {
    if (glyph >= kGlyphIds) return is_mark_glyph_beyond_ids(glyph);
    return !mark_bits_.empty() && (mark_bits_[glyph / 64] >> (glyph % 64) & 1U) != 0;
  }
  // True when GSUB or GPOS lists this script tag (HarfBuzz byte order).
  bool lists_script(hb_tag_t tag) const;
  // The script tags of a script that GSUB or GPOS lists, HarfBuzz's
  // preference first.
  ScriptTags script_tags_for(hb_script_t script) const;
  // Why HarfBuzz must not trace this font (see trace_hazards.h), if it must not.
  const std::optional<std::string> &trace_hazard() const { return trace_hazard_; }

 private:
  FontFace() = default;

  // Glyph ids are 16-bit in every table a font has.
  static constexpr hb_codepoint_t kGlyphIds = 65536;
  bool is_mark_glyph_beyond_ids(hb_codepoint_t glyph) const;

  // Declared first so that it outlives the blob that points into it.
  std::vector<std::uint8_t> bytes_;
  std::uint64_t hash_ = 0;
  BlobPtr blob_;
  FacePtr face_;
  FontPtr font_;
  bool has_glyph_classes_ = false;
  // GDEF's mark class as one bit per glyph id, read once: looking a glyph up
  // in the class definition table costs a search per glyph shaped.
  std::vector<std::uint64_t> mark_bits_;
  std::vector<hb_tag_t> layout_scripts_;
  std::optional<std::string> trace_hazard_;
  // A font at a location keeps its base, which owns the bytes and the face.
  std::shared_ptr<const FontFace> base_;
  std::vector<hb_variation_t> location_;
};

// One axis of a font at its location: the value used, clamped to the axis
// (16.16 fixed), and HarfBuzz's normalized coordinate after avar (2.14).
struct AxisCoords {
  std::int32_t design = 0;
  std::int32_t normalized = 0;
};
// Every fvar axis of the font, in fvar's order.
std::vector<AxisCoords> axis_coords(const FontFace &font);

// A fast 64-bit hash of a byte string: every byte and the length count.
std::uint64_t hash_bytes(std::span<const std::uint8_t> bytes);

// The hash that tells kept fonts apart before the full comparison: of the
// whole bytes for a small font; for a large one, of its length, its first and
// last 4 KiB and samples spread over the rest, so that recognising a large
// font costs one comparison of its bytes, not a hash of them as well. Equal
// bytes always give equal fingerprints.
std::uint64_t fingerprint(std::span<const std::uint8_t> bytes);

// The font slot set by usp_set_font_bytes plus the last few fonts built.
// Setting bytes equal to a kept font's bytes makes that font current again
// without building anything, so its HarfBuzz face and the shape plans cached
// on it carry over from one request to the next.
class FontStore {
 public:
  int set_current(std::span<const std::uint8_t> bytes);
  void clear_current() {
    current_.reset();
    current_base_.reset();
  }
  // The font requests shape with: the current font at the current location.
  const std::shared_ptr<const FontFace> &current() const { return current_; }

  // The location fonts are shaped at from now on, for the current font and
  // every font set after it (empty: each font's default instance). Returns
  // false, leaving the location as it was, when memory runs out.
  bool set_location(std::vector<hb_variation_t> location);

  // Number of FontFace objects built in this process; tests read it to see
  // that a known font is not built again.
  static std::size_t faces_built();

 private:
  void trim_kept();
  // Sets current_ to current_base_ at location_; throws std::bad_alloc.
  void locate_current();

  // At most this many fonts, and no more bytes than this beyond the most
  // recent font: enough for a request that alternates between a few fonts.
  static constexpr std::size_t kKeptFonts = 4;
  static constexpr std::size_t kKeptBytes = std::size_t{128} << 20;
  std::shared_ptr<const FontFace> current_;
  std::shared_ptr<const FontFace> current_base_;  // as built from the bytes
  std::vector<hb_variation_t> location_;
  std::vector<std::shared_ptr<const FontFace>> kept_;  // most recently used first
};

}  // namespace vantor
