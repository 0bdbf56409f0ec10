// A shaped item as Uniscribe's output arrays: clusters, log clusters, glyph
// and character properties, advances, offsets and totals.
#include "outputs.h"

#include <hb-ot.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "justification.h"
#include "utf16.h"

namespace vantor {
namespace {

// The properties a glyph has alone, indexed by diacritic * 2 + zero width,
// made once: writing a glyph's record is then one copy rather than a field
// at a time. The cluster's first glyph gets its start and justification
// class afterwards.
constexpr std::array<SCRIPT_GLYPHPROP, 4> kGlyphProps = [] {
  std::array<SCRIPT_GLYPHPROP, 4> props{};
  for (std::size_t i = 0; i < props.size(); ++i) {
    props[i].sva.uJustification = kJustifyNone;
    props[i].sva.fDiacritic = (i & 2U) != 0 ? 1 : 0;
    props[i].sva.fZeroWidth = (i & 1U) != 0 ? 1 : 0;
  }
  return props;
}();

// A cluster: its characters [first_char, end_char) and its glyphs, listed
// by the logical index of the first one and their number.
struct Cluster {
  std::uint32_t first_char = 0;
  std::uint32_t end_char = 0;
  std::size_t first_glyph = 0;
  std::size_t glyph_count = 0;
};

// Clusters in character order. HarfBuzz's clusters ascend in logical order;
// a value that does not ascend joins the cluster before it (and any earlier
// ones it reaches back to), so every cluster keeps adjacent glyphs and
// clusters stay in character order whatever the run holds.
std::vector<Cluster> clusters_of(const ShapedRun &run, std::size_t text_length) {
  std::vector<Cluster> clusters;
  for (std::size_t k = 0; k < run.clusters.size(); ++k) {
    // The text is never empty here; a value past its end would be a fault
    // of the shaper, kept in bounds all the same.
    const auto value = static_cast<std::uint32_t>(
        std::min<std::size_t>(run.clusters[k], text_length - 1));
    if (clusters.empty() || value > clusters.back().first_char) {
      clusters.push_back(Cluster{value, 0, k, 1});
      continue;
    }
    ++clusters.back().glyph_count;
    clusters.back().first_char = std::min(clusters.back().first_char, value);
    while (clusters.size() > 1 &&
           clusters.back().first_char <= clusters[clusters.size() - 2].first_char) {
      Cluster &before = clusters[clusters.size() - 2];
      before.glyph_count += clusters.back().glyph_count;
      before.first_char = std::min(before.first_char, clusters.back().first_char);
      clusters.pop_back();
    }
  }
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const std::size_t next = i + 1 < clusters.size() ? clusters[i + 1].first_char : text_length;
    clusters[i].end_char = static_cast<std::uint32_t>(std::min(next, text_length));
  }
  // Characters before the first cluster value belong to the first cluster.
  if (!clusters.empty()) clusters.front().first_char = 0;
  return clusters;
}

// Cluster values that never fall, for a run whose values do somewhere:
// each glyph gets the first character of its cluster in clusters_of.
std::vector<std::uint32_t> merged_values(const ShapedRun &run, std::size_t text_length) {
  std::vector<std::uint32_t> values(run.clusters.size());
  for (const Cluster &cluster : clusters_of(run, text_length)) {
    std::fill_n(values.begin() + static_cast<std::ptrdiff_t>(cluster.first_glyph), cluster.glyph_count,
                cluster.first_char);
  }
  return values;
}

// The clusters, in character order, of a run whose cluster values never
// fall: one cluster per value. Values past the text's end count as its last
// character, as in clusters_of.
class ClusterWalk {
 public:
  ClusterWalk(const std::vector<std::uint32_t> &values, std::size_t text_length)
      : values_(values.data()),
        count_(values.size()),
        text_length_(static_cast<std::uint32_t>(text_length)),
        value_(count_ > 0 ? char_of(0) : 0) {}

  // The next cluster, false after the last.
  bool next(Cluster *out) {
    if (k_ == count_) return false;
    // The cluster ends where the value changes; the next value is where its
    // characters end.
    std::size_t end = k_ + 1;
    std::uint32_t next_value = text_length_;
    for (; end < count_; ++end) {
      const std::uint32_t v = char_of(end);
      if (v != value_) {
        next_value = v;
        break;
      }
    }
    *out = Cluster{k_ == 0 ? 0 : value_, next_value, k_, end - k_};
    k_ = end;
    value_ = next_value;
    return true;
  }

 private:
  std::uint32_t char_of(std::size_t k) const { return std::min(values_[k], text_length_ - 1); }

  const std::uint32_t *values_;
  std::size_t count_;
  std::uint32_t text_length_;
  std::uint32_t value_;  // the character of glyph k_
  std::size_t k_ = 0;
};

// The code point at text[index] (a lone surrogate as U+FFFD, which is neither
// a mark nor a space) and its length in code units.
char32_t code_point_at(std::u16string_view text, std::size_t index) { return next_code_point(text, &index); }

std::size_t code_point_length(std::u16string_view text, std::size_t index) {
  std::size_t end = index;
  next_code_point(text, &end);
  return end - index;
}

// The general categories the outputs ask about, as HarfBuzz's Unicode
// functions (those it shapes with) give them: for the Basic Multilingual
// Plane from bit tables made once, a call per cluster costing more than the
// rest of its outputs; beyond it by asking HarfBuzz.
class Categories {
 public:
  static const Categories &get() {
    static const Categories tables;
    return tables;
  }
  bool is_space_separator(char32_t c) const { return has(spaces_, c, HB_UNICODE_GENERAL_CATEGORY_SPACE_SEPARATOR); }
  // Mn or Me: a mark that does not take space of its own.
  bool is_combining_mark(char32_t c) const {
    if (c < kTabled) return (marks_[c / 64] >> (c % 64) & 1U) != 0;
    return is_combining(hb_unicode_general_category(funcs_, c));
  }

 private:
  static constexpr char32_t kTabled = 0x10000;
  using Bits = std::array<std::uint64_t, kTabled / 64>;

  Categories() : funcs_(hb_unicode_funcs_get_default()) {
    for (char32_t c = 0; c < kTabled; ++c) {
      const hb_unicode_general_category_t category = hb_unicode_general_category(funcs_, c);
      if (category == HB_UNICODE_GENERAL_CATEGORY_SPACE_SEPARATOR) spaces_[c / 64] |= std::uint64_t{1} << (c % 64);
      if (is_combining(category)) marks_[c / 64] |= std::uint64_t{1} << (c % 64);
    }
  }

  static bool is_combining(hb_unicode_general_category_t category) {
    return category == HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK ||
           category == HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK;
  }

  bool has(const Bits &bits, char32_t c, hb_unicode_general_category_t category) const {
    if (c < kTabled) return (bits[c / 64] >> (c % 64) & 1U) != 0;
    return hb_unicode_general_category(funcs_, c) == category;
  }

  hb_unicode_funcs_t *funcs_;
  Bits spaces_{};
  Bits marks_{};
};

// Without GDEF glyph classes, the j-th glyph of a cluster stands for its
// j-th character (the last one when there are more glyphs than characters),
// and is a diacritic when that character is a nonspacing or enclosing mark
// (Mn, Me): SCRIPT_VISATTR's fDiacritic marks glyphs that combine with base
// characters, and a spacing mark (Mc) takes its own room beside its base.
bool stands_for_mark(std::u16string_view text, const Cluster &cluster, std::size_t j) {
  std::size_t index = cluster.first_char;
  for (std::size_t step = 0; step < j; ++step) {
    const std::size_t next = index + code_point_length(text, index);
    if (next >= cluster.end_char) break;
    index = next;
  }
  return Categories::get().is_combining_mark(code_point_at(text, index));
}

bool is_single_character(std::u16string_view text, const Cluster &cluster) {
  const std::size_t length = cluster.end_char - cluster.first_char;
  // Only a surrogate can start a character of two units.
  if (length == 1 && (text[cluster.first_char] & 0xF800) != 0xD800) return true;
  return length == code_point_length(text, cluster.first_char);
}

// The ABC widths of a run, as Microsoft's ABC structure describes them for
// a character and ScriptPlaceOpenType gives them for the whole run: A the
// space before the ink, B the ink's width, C the space after it, with
// A + B + C the sum of the advances. The ink is the union of the glyphs'
// HarfBuzz extents, each at its pen position plus its offset, glyphs taken
// left to right; for most runs its left edge is the first glyph's and its
// right edge the last glyph's. A run without ink (spaces) has A = B = 0 and
// C = the advances: nothing is drawn, and the pen moves on after it.
class AbcMeter {
 public:
  explicit AbcMeter(const FontFace &font) : font_(font.font()) {}

  // The next glyph to the right.
  void add(hb_codepoint_t glyph, int advance, int x_offset) {
    hb_glyph_extents_t extents{};
    if (hb_font_get_glyph_extents(font_, glyph, &extents) && (extents.width != 0 || extents.height != 0)) {
      // HarfBuzz gives a negative width for a glyph drawn leftwards.
      const long long left = pen_ + x_offset + extents.x_bearing + std::min(extents.width, 0);
      const long long right = left + (extents.width < 0 ? -extents.width : extents.width);
      ink_left_ = inked_ ? std::min(ink_left_, left) : left;
      ink_right_ = inked_ ? std::max(ink_right_, right) : right;
      inked_ = true;
    }
    pen_ += advance;
  }

  void fill(ABC *abc) const {
    if (!inked_) {
      *abc = ABC{0, 0, static_cast<int>(pen_)};
      return;
    }
    abc->abcA = static_cast<int>(ink_left_);
    abc->abcB = static_cast<UINT>(ink_right_ - ink_left_);
    abc->abcC = static_cast<int>(pen_ - ink_right_);
  }

 private:
  hb_font_t *font_;
  long long pen_ = 0;
  bool inked_ = false;
  long long ink_left_ = 0;
  long long ink_right_ = 0;
};

// Each glyph alone, before the clusters: its id, its diacritic class from
// GDEF when the font has glyph classes, and whether it has no advance.
void write_glyphs(const FontFace &font, const ShapedRun &run, GlyphOrder order, WORD *glyphs,
                  SCRIPT_GLYPHPROP *glyph_props) {
  const std::size_t count = run.glyphs.size();
  const hb_codepoint_t *ids = run.glyphs.data();
  const hb_glyph_position_t *positions = run.positions.data();
  const bool glyph_classes = font.has_glyph_classes();
  // Logical glyph k goes to slot order.slot(k, count).
  const std::ptrdiff_t step = order.reversed ? -1 : 1;
  auto slot = static_cast<std::ptrdiff_t>(order.slot(0, count));
  for (std::size_t k = 0; k < count; ++k, slot += step) {
    const bool diacritic = glyph_classes && font.is_mark_glyph(ids[k]);
    const bool zero_width = positions[k].x_advance == 0;
    glyph_props[slot] = kGlyphProps[(diacritic ? 2U : 0U) | (zero_width ? 1U : 0U)];
    glyphs[slot] = static_cast<WORD>(ids[k]);
  }
}

// What the clusters say, from cluster values that never fall: log clusters,
// the start and justification class of each cluster's first glyph, and
// which characters can stand alone. fClusterStart goes to the first glyph
// of each cluster in logical order, as SCRIPT_VISATTR documents it ("the
// logical first glyph in every cluster"); the class goes to that glyph too
// and the cluster's other glyphs keep SCRIPT_JUSTIFY_NONE, so that a
// justifier finds one opportunity per cluster.
void write_clusters(const std::vector<std::uint32_t> &values, std::u16string_view text, GlyphOrder order,
                    const Justifier &justifier, WORD *log_clust, SCRIPT_CHARPROP *char_props,
                    SCRIPT_GLYPHPROP *glyph_props) {
  const Categories &categories = Categories::get();
  ClusterWalk walk(values, text.size());
  for (Cluster cluster; walk.next(&cluster);) {
    const auto first_slot = static_cast<WORD>(order.slot(cluster.first_glyph, values.size()));
    // Most clusters hold one character, which needs no fill.
    log_clust[cluster.first_char] = first_slot;
    if (cluster.end_char - cluster.first_char > 1) {
      std::fill(log_clust + cluster.first_char + 1, log_clust + cluster.end_char, first_slot);
    }
    // SCRIPT_CHARPROP: a letter whose shape depends on the characters
    // around it cannot stand alone: one that shares its glyphs (a ligature,
    // a base and its marks) or, in an Arabic item, joins a neighbour.
    if (char_props != nullptr && cluster.glyph_count == 1 && is_single_character(text, cluster) &&
        !justifier.joins(cluster.first_char)) {
      char_props[cluster.first_char].fCanGlyphAlone = 1;
    }
    // A unit outside the surrogates is its own code point.
    const char16_t first = text[cluster.first_char];
    const bool blank = first < 0xD800 ? categories.is_space_separator(first)
                                      : categories.is_space_separator(code_point_at(text, cluster.first_char));
    SCRIPT_GLYPHPROP start = glyph_props[first_slot];
    start.sva.fClusterStart = 1;
    start.sva.uJustification = justifier.cluster_class(cluster.first_char, cluster.end_char, blank);
    glyph_props[first_slot] = start;
  }
}

// The diacritics of a font without GDEF glyph classes, from the characters
// each glyph stands for (see stands_for_mark).
void mark_diacritics(const std::vector<std::uint32_t> &values, std::u16string_view text, GlyphOrder order,
                     SCRIPT_GLYPHPROP *glyph_props) {
  ClusterWalk walk(values, text.size());
  for (Cluster cluster; walk.next(&cluster);) {
    for (std::size_t j = 0; j < cluster.glyph_count; ++j) {
      const std::size_t slot = order.slot(cluster.first_glyph + j, values.size());
      glyph_props[slot].sva.fDiacritic = stands_for_mark(text, cluster, j) ? 1 : 0;
    }
  }
}

}  // namespace

void write_shape_outputs(const FontFace &font, const ShapedRun &run, std::u16string_view text,
                         hb_script_t script, GlyphOrder order, WORD *log_clust, SCRIPT_CHARPROP *char_props,
                         WORD *glyphs, SCRIPT_GLYPHPROP *glyph_props) {
  const std::size_t count = run.glyphs.size();
  // Every character belongs to a cluster when there are glyphs.
  if (count == 0) std::fill_n(log_clust, text.size(), WORD{0});
  // A zeroed SCRIPT_CHARPROP is all bits clear; memset does it in blocks
  // where filling goes a record at a time.
  if (char_props != nullptr) std::memset(char_props, 0, text.size() * sizeof(SCRIPT_CHARPROP));
  if (count == 0) return;
  write_glyphs(font, run, order, glyphs, glyph_props);
  // Then the clusters. HarfBuzz's values never fall; another shaper's go
  // through clusters_of.
  std::vector<std::uint32_t> merged;
  const bool ascending = std::is_sorted(run.clusters.begin(), run.clusters.end());
  if (!ascending) merged = merged_values(run, text.size());
  const std::vector<std::uint32_t> &values = ascending ? run.clusters : merged;
  const Justifier justifier(text, script == HB_SCRIPT_ARABIC);
  write_clusters(values, text, order, justifier, log_clust, char_props, glyph_props);
  if (!font.has_glyph_classes()) mark_diacritics(values, text, order, glyph_props);
}

bool holds_glyphs(const ShapedRun &run, GlyphOrder order, const WORD *glyphs, int count) {
  if (count < 0 || static_cast<std::size_t>(count) != run.glyphs.size()) return false;
  for (std::size_t k = 0; k < run.glyphs.size(); ++k) {
    if (glyphs[order.slot(k, run.glyphs.size())] != run.glyphs[k]) return false;
  }
  return true;
}

void write_positions(const FontFace &font, const ShapedRun &run, bool rtl, GlyphOrder order, int *advances,
                     GOFFSET *offsets, ABC *abc) {
  const std::size_t count = run.glyphs.size();
  for (std::size_t k = 0; k < count; ++k) {
    const hb_glyph_position_t &position = run.positions[k];
    const std::size_t slot = order.slot(k, count);
    advances[slot] = position.x_advance;
    // GOFFSET.du runs along the advance direction, leftwards in a
    // right-to-left item.
    offsets[slot].du = rtl ? -position.x_offset : position.x_offset;
    offsets[slot].dv = position.y_offset;
  }
  // The widths cost a look at every glyph's extents: only when asked for.
  if (abc == nullptr) return;
  AbcMeter meter(font);
  // The run is in logical order; a right-to-left item's leftmost glyph is its last.
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t k = rtl ? count - 1 - j : j;
    meter.add(run.glyphs[k], run.positions[k].x_advance, run.positions[k].x_offset);
  }
  meter.fill(abc);
}

void write_nominal_positions(const FontFace &font, const WORD *glyphs, int count, bool left_to_right,
                             int *advances, GOFFSET *offsets, ABC *abc) {
  for (int k = 0; k < count; ++k) {
    advances[k] = hb_font_get_glyph_h_advance(font.font(), glyphs[k]);
    offsets[k] = GOFFSET{0, 0};
  }
  if (abc == nullptr) return;
  AbcMeter meter(font);
  for (int j = 0; j < count; ++j) {
    const int k = left_to_right ? j : count - 1 - j;
    meter.add(glyphs[k], advances[k], 0);
  }
  meter.fill(abc);
}

}  // namespace vantor
