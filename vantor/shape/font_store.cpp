// The backend's fonts: a face and its facts built from bytes, recognising bytes
// set before by their hash, and the few recently used fonts kept.
#include "font_store.h"

#include <hb-ot.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "scripts.h"
#include "trace_hazards.h"
#include "vantor.h"

namespace vantor {
namespace {

std::atomic<std::size_t> g_faces_built{0};

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;

inline std::uint64_t load64(const std::uint8_t *p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline std::uint64_t rotl(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

inline std::uint64_t mix(std::uint64_t acc, std::uint64_t word) {
  return rotl(acc + word * kPrime2, 31) * kPrime1;
}

// Fonts up to this size are fingerprinted whole; of larger ones, the first
// and last kFingerprintEnds bytes and kFingerprintSamples samples between.
constexpr std::size_t kWholeFingerprint = std::size_t{64} << 10;
constexpr std::size_t kFingerprintEnds = 4096;
constexpr std::size_t kFingerprintSamples = 64;
constexpr std::size_t kFingerprintSample = 64;

std::vector<hb_tag_t> script_tags_of(hb_face_t *face, hb_tag_t table) {
  std::vector<hb_tag_t> tags;
  unsigned start = 0;
  hb_tag_t chunk[32];
  for (;;) {
    unsigned count = 32;
    const unsigned total = hb_ot_layout_table_get_script_tags(face, table, start, &count, chunk);
    tags.insert(tags.end(), chunk, chunk + count);
    start += count;
    if (count == 0 || start >= total) break;
  }
  return tags;
}

std::vector<std::uint64_t> mark_bits_of(hb_face_t *face, hb_codepoint_t glyph_ids) {
  const SetPtr marks(hb_set_create());
  hb_ot_layout_get_glyphs_in_class(face, HB_OT_LAYOUT_GLYPH_CLASS_MARK, marks.get());
  std::vector<std::uint64_t> bits(glyph_ids / 64, 0);
  hb_codepoint_t first = HB_SET_VALUE_INVALID;
  hb_codepoint_t last = HB_SET_VALUE_INVALID;
  while (hb_set_next_range(marks.get(), &first, &last) && first < glyph_ids) {
    for (hb_codepoint_t g = first; g <= last && g < glyph_ids; ++g) bits[g / 64] |= std::uint64_t{1} << (g % 64);
  }
  return bits;
}

}  // namespace

std::uint64_t hash_bytes(std::span<const std::uint8_t> bytes) {
  const std::uint8_t *p = bytes.data();
  std::size_t left = bytes.size();
  // Four independent lanes keep the multiplier busy; 32 bytes per round.
  std::uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  while (left >= 32) {
    for (int lane = 0; lane < 4; ++lane) lanes[lane] = mix(lanes[lane], load64(p + 8 * lane));
    p += 32;
    left -= 32;
  }
  std::uint64_t h = rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) +
                    rotl(lanes[3], 18) + bytes.size();
  while (left >= 8) {
    h = rotl(h ^ mix(0, load64(p)), 27) * kPrime1 + kPrime3;
    p += 8;
    left -= 8;
  }
  while (left > 0) {
    h = rotl(h ^ (*p * kPrime3), 11) * kPrime1;
    ++p;
    --left;
  }
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

std::uint64_t fingerprint(std::span<const std::uint8_t> bytes) {
  if (bytes.size() <= kWholeFingerprint) return hash_bytes(bytes);
  // The head and the tail (table directory, small tables, padding) and
  // samples spread evenly in between, with the length: a few kilobytes of
  // work however large the font.
  std::uint64_t h = hash_bytes(bytes.first(kFingerprintEnds)) ^ rotl(hash_bytes(bytes.last(kFingerprintEnds)), 17);
  const std::size_t step = (bytes.size() - kFingerprintSample) / (kFingerprintSamples + 1);
  for (std::size_t i = 1; i <= kFingerprintSamples; ++i)
    h = rotl(h ^ hash_bytes(bytes.subspan(i * step, kFingerprintSample)), 23) * kPrime1;
  return h ^ bytes.size();
}

std::shared_ptr<const FontFace> FontFace::build(std::span<const std::uint8_t> bytes,
                                                std::uint64_t hash, int *code) {
  if (bytes.size() > UINT_MAX) {
    *code = VANTOR_FONT_NOT_SFNT;
    return nullptr;
  }
  std::shared_ptr<FontFace> made(new FontFace());
  made->bytes_.assign(bytes.begin(), bytes.end());
  made->hash_ = hash;
  made->blob_.reset(hb_blob_create(reinterpret_cast<const char *>(made->bytes_.data()),
                                   static_cast<unsigned>(made->bytes_.size()),
                                   HB_MEMORY_MODE_READONLY, nullptr, nullptr));
  if (hb_face_count(made->blob_.get()) == 0) {
    *code = VANTOR_FONT_NOT_SFNT;
    return nullptr;
  }
  made->face_.reset(hb_face_create(made->blob_.get(), 0));
  if (hb_face_get_glyph_count(made->face_.get()) == 0) {
    *code = VANTOR_FONT_NO_GLYPHS;
    return nullptr;
  }
  made->font_.reset(hb_font_create(made->face_.get()));
  hb_ot_font_set_funcs(made->font_.get());
  const int upem = static_cast<int>(hb_face_get_upem(made->face_.get()));
  hb_font_set_scale(made->font_.get(), upem, upem);
  made->has_glyph_classes_ = hb_ot_layout_has_glyph_classes(made->face_.get());
  if (made->has_glyph_classes_) made->mark_bits_ = mark_bits_of(made->face_.get(), kGlyphIds);
  made->layout_scripts_ = script_tags_of(made->face_.get(), HB_OT_TAG_GSUB);
  for (hb_tag_t tag : script_tags_of(made->face_.get(), HB_OT_TAG_GPOS)) {
    if (!made->lists_script(tag)) made->layout_scripts_.push_back(tag);
  }
  made->trace_hazard_ = vantor::trace_hazard(made->face_.get());
  // Shared by script caches and threads from now on: nothing may change them.
  hb_face_make_immutable(made->face_.get());
  hb_font_make_immutable(made->font_.get());
  g_faces_built.fetch_add(1, std::memory_order_relaxed);
  *code = VANTOR_FONT_OK;
  return made;
}

std::shared_ptr<const FontFace> FontFace::at_location(std::shared_ptr<const FontFace> base,
                                                     std::span<const hb_variation_t> location) {
  std::shared_ptr<FontFace> made(new FontFace());
  made->hash_ = base->hash_;
  made->blob_.reset(hb_blob_reference(base->blob_.get()));
  made->face_.reset(hb_face_reference(base->face_.get()));
  made->has_glyph_classes_ = base->has_glyph_classes_;
  made->mark_bits_ = base->mark_bits_;
  made->layout_scripts_ = base->layout_scripts_;
  made->trace_hazard_ = base->trace_hazard_;
  made->location_.assign(location.begin(), location.end());
  made->font_.reset(hb_font_create(made->face_.get()));
  if (hb_font_is_immutable(made->font_.get())) throw std::bad_alloc();  // HarfBuzz's empty font
  hb_ot_font_set_funcs(made->font_.get());
  const int upem = static_cast<int>(hb_face_get_upem(made->face_.get()));
  hb_font_set_scale(made->font_.get(), upem, upem);
  hb_font_set_variations(made->font_.get(), made->location_.data(),
                         static_cast<unsigned>(made->location_.size()));
  hb_font_make_immutable(made->font_.get());
  made->base_ = std::move(base);
  return made;
}

bool FontFace::is_mark_glyph_beyond_ids(hb_codepoint_t glyph) const {
  return hb_ot_layout_get_glyph_class(face_.get(), glyph) == HB_OT_LAYOUT_GLYPH_CLASS_MARK;
}

bool FontFace::holds(std::span<const std::uint8_t> bytes, std::uint64_t hash) const {
  return hash == hash_ && bytes.size() == bytes_.size() &&
         std::memcmp(bytes.data(), bytes_.data(), bytes.size()) == 0;
}

bool FontFace::lists_script(hb_tag_t tag) const {
  return std::find(layout_scripts_.begin(), layout_scripts_.end(), tag) != layout_scripts_.end();
}

ScriptTags FontFace::script_tags_for(hb_script_t script) const {
  std::array<hb_tag_t, HB_OT_MAX_TAGS_PER_SCRIPT> candidates{};
  const std::size_t count = opentype_script_tags(script, candidates);
  ScriptTags listed;
  for (std::size_t i = 0; i < count; ++i) {
    if (lists_script(candidates[i])) listed.push_back(candidates[i]);
  }
  return listed;
}

std::vector<AxisCoords> axis_coords(const FontFace &font) {
  const unsigned count = hb_ot_var_get_axis_count(font.face());
  std::vector<hb_ot_var_axis_info_t> axes(count);
  unsigned filled = count;
  hb_ot_var_get_axis_infos(font.face(), 0, &filled, axes.data());
  axes.resize(filled);
  unsigned normalized_count = 0;
  const int *normalized = hb_font_get_var_coords_normalized(font.font(), &normalized_count);
  std::vector<AxisCoords> coords(axes.size());
  for (std::size_t i = 0; i < axes.size(); ++i) {
    // The value asked for last wins, as in hb_font_set_variations; HarfBuzz
    // clamps it to the axis when it normalizes.
    float value = axes[i].default_value;
    for (const hb_variation_t &v : font.location()) {
      if (v.tag == axes[i].tag) value = v.value;
    }
    value = std::clamp(value, axes[i].min_value, axes[i].max_value);
    coords[i].design = static_cast<std::int32_t>(std::lround(value * 65536.0f));
    coords[i].normalized = i < normalized_count ? normalized[i] : 0;
  }
  return coords;
}

int FontStore::set_current(std::span<const std::uint8_t> bytes) {
  clear_current();
  if (bytes.data() == nullptr || bytes.empty()) return VANTOR_FONT_EMPTY;
  const std::uint64_t hash = fingerprint(bytes);
  try {
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (!(*it)->holds(bytes, hash)) continue;
      std::rotate(kept_.begin(), it, it + 1);
      current_base_ = kept_.front();
      locate_current();
      return VANTOR_FONT_OK;
    }
    int code = VANTOR_FONT_OK;
    std::shared_ptr<const FontFace> built = FontFace::build(bytes, hash, &code);
    if (!built) return code;
    kept_.insert(kept_.begin(), built);
    trim_kept();
    current_base_ = std::move(built);
    locate_current();
  } catch (const std::bad_alloc &) {
    clear_current();
    return VANTOR_FONT_NO_MEMORY;
  }
  return VANTOR_FONT_OK;
}

void FontStore::locate_current() {
  if (!current_base_ || location_.empty()) {
    current_ = current_base_;
    return;
  }
  current_ = FontFace::at_location(current_base_, location_);
}

bool FontStore::set_location(std::vector<hb_variation_t> location) {
  std::vector<hb_variation_t> previous = std::move(location_);
  location_ = std::move(location);
  try {
    locate_current();
  } catch (const std::bad_alloc &) {
    location_ = std::move(previous);
    return false;
  }
  return true;
}

void FontStore::trim_kept() {
  std::size_t total = 0;
  for (const auto &font : kept_) total += font->byte_size();
  while (kept_.size() > 1 && (kept_.size() > kKeptFonts || total > kKeptBytes)) {
    total -= kept_.back()->byte_size();
    kept_.pop_back();
  }
}

std::size_t FontStore::faces_built() { return g_faces_built.load(std::memory_order_relaxed); }

}  // namespace vantor
