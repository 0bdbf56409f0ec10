// The machine's own HarfBuzz as the oracle for the font readers: the glyph
// names hb-shape prints and the layout tags HarfBuzz reports, for the same
// bytes the engine reads. Linked into the test binary only.
#pragma once

#include <hb-ot.h>
#include <hb.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "font/layout_tags.h"

namespace hb_oracle {

struct FaceDeleter {
  void operator()(hb_face_t *face) const { hb_face_destroy(face); }
};
struct FontDeleter {
  void operator()(hb_font_t *font) const { hb_font_destroy(font); }
};
using Face = std::unique_ptr<hb_face_t, FaceDeleter>;
using Font = std::unique_ptr<hb_font_t, FontDeleter>;

// Face 0 of the bytes, which must outlive it.
inline Face face(std::span<const std::uint8_t> bytes) {
  hb_blob_t *blob = hb_blob_create(reinterpret_cast<const char *>(bytes.data()),
                                   static_cast<unsigned>(bytes.size()), HB_MEMORY_MODE_READONLY, nullptr, nullptr);
  Face f(hb_face_create(blob, 0));
  hb_blob_destroy(blob);
  return f;
}

// Every glyph's name as hb-shape formats it (a 128-byte buffer, gid<N>
// for a glyph without a name).
inline std::vector<std::string> glyph_names(std::span<const std::uint8_t> bytes) {
  Face f = face(bytes);
  Font font(hb_font_create(f.get()));
  hb_ot_font_set_funcs(font.get());
  std::vector<std::string> names;
  const unsigned count = hb_face_get_glyph_count(f.get());
  for (unsigned gid = 0; gid < count; ++gid) {
    char buffer[128];
    hb_font_glyph_to_string(font.get(), gid, buffer, sizeof buffer);
    names.emplace_back(buffer);
  }
  return names;
}

inline std::string tag_text(hb_tag_t tag) {
  return {static_cast<char>(tag >> 24), static_cast<char>(tag >> 16), static_cast<char>(tag >> 8),
          static_cast<char>(tag)};
}

// The scripts of one table with their language tags. HarfBuzz does not say
// whether a default language system exists; `has_default_language` is set
// when the default one has features, the one fact it does give.
inline std::vector<tesvo::LayoutScript> scripts(std::span<const std::uint8_t> bytes, hb_tag_t table) {
  Face f = face(bytes);
  std::vector<tesvo::LayoutScript> out;
  std::vector<hb_tag_t> tags(hb_ot_layout_table_get_script_tags(f.get(), table, 0, nullptr, nullptr));
  unsigned count = static_cast<unsigned>(tags.size());
  hb_ot_layout_table_get_script_tags(f.get(), table, 0, &count, tags.data());
  for (unsigned s = 0; s < count; ++s) {
    tesvo::LayoutScript script;
    script.tag = tag_text(tags[s]);
    std::vector<hb_tag_t> languages(hb_ot_layout_script_get_language_tags(f.get(), table, s, 0, nullptr, nullptr));
    unsigned n = static_cast<unsigned>(languages.size());
    hb_ot_layout_script_get_language_tags(f.get(), table, s, 0, &n, languages.data());
    for (unsigned l = 0; l < n; ++l) script.languages.push_back(tag_text(languages[l]));
    script.has_default_language = hb_ot_layout_language_get_feature_indexes(
                                      f.get(), table, s, HB_OT_LAYOUT_DEFAULT_LANGUAGE_INDEX, 0, nullptr, nullptr) > 0;
    out.push_back(std::move(script));
  }
  return out;
}

}  // namespace hb_oracle
