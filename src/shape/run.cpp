// The shaping run: the item loop, each item's shaping with a growing glyph
// buffer, its placing and clusters, the item messages and labels, and the
// sink that builds the compatibility call's result document.
#include "shape/run.h"

#include "shape/item_shaping.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include "document/document.h"
#include "text/features.h"
#include "trace/trace.h"

namespace tesvo {

namespace {

constexpr int kMaxScriptTags = 8;
constexpr std::int64_t kLargestDoubledGlyphBuffer = 65536;
constexpr std::uint64_t kUnset = std::numeric_limits<std::uint64_t>::max();

// A zeroed array. The item and tag arrays are sized for the worst case, two
// entries per code unit, and the backend fills a handful of their entries.
// A large one is a mapping of its own: its pages come zeroed from the kernel
// and only those written are ever faulted in, and it leaves the heap alone,
// which would otherwise grow by megabytes for every text and be trimmed back
// after it (its pages faulted in again for the next).
template <class T> class ZeroedArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  explicit ZeroedArray(std::size_t count) : size_(count), bytes_(count * sizeof(T)) {
    if (bytes_ >= kMapped) {
      void *mapping = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      data_ = mapping == MAP_FAILED ? nullptr : static_cast<T *>(mapping);
    } else {
      data_ = static_cast<T *>(std::calloc(count, sizeof(T)));
    }
    if (data_ == nullptr) throw std::bad_alloc();
  }
  ZeroedArray(const ZeroedArray &) = delete;
  ZeroedArray &operator=(const ZeroedArray &) = delete;
  ~ZeroedArray() {
    if (bytes_ >= kMapped)
      ::munmap(data_, bytes_);
    else
      std::free(data_);
  }
  T *data() { return data_; }
  std::size_t size() const { return size_; }
  T &operator[](std::size_t i) { return data_[i]; }

 private:
  static constexpr std::size_t kMapped = std::size_t{256} << 10;
  T *data_;
  std::size_t size_;
  std::size_t bytes_;
};

// Buffer sizes from the text length, at least 16, kept within int.
int buffer_size(std::int64_t wanted) {
  if (wanted > INT_MAX) throw EnginePanic("buffer size exceeds the backend's int range");
  return static_cast<int>(std::max<std::int64_t>(wanted, 16));
}


// The feature records of an item as the Uniscribe API takes them: one range
// over the whole item, no range at all without features, or, where ranged
// features cover part of the item, one range per stretch with the records in
// force there (the whole text's, then the ranged ones over it, a later one
// replacing an earlier record of its tag).
class FeatureRange {
 public:
  FeatureRange(const FeatureList &features, std::span<const RangedFeature> ranged, std::uint64_t start,
               std::uint64_t end) {
    const auto overlaps = [&](const RangedFeature &f) { return f.end > start && f.start < end; };
    // No features at all, the common case: nothing to build.
    if (features.empty() && std::none_of(ranged.begin(), ranged.end(), overlaps)) return;
    std::vector<std::uint64_t> cuts{start, end};
    for (const RangedFeature &f : ranged) {
      if (!overlaps(f)) continue;
      cuts.push_back(std::max(f.start, start));
      cuts.push_back(std::min(f.end, end));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
      FeatureList records = features;
      for (const RangedFeature &f : ranged) {
        if (f.start > cuts[k] || f.end < cuts[k + 1]) continue;
        auto same = std::find_if(records.begin(), records.end(),
                                 [&](const OPENTYPE_FEATURE_RECORD &r) { return r.tagFeature == f.record.tagFeature; });
        if (same != records.end())
          *same = f.record;
        else
          records.push_back(f.record);
      }
      records_.push_back(std::move(records));
      chars_.push_back(static_cast<int>(cuts[k + 1] - cuts[k]));
    }
    bool any = false;
    for (const FeatureList &records : records_) any = any || !records.empty();
    if (!any) return;  // no features at all: no ranges, as a caller without features passes them
    properties_.resize(records_.size());
    for (std::size_t k = 0; k < records_.size(); ++k) {
      properties_[k].potfRecords = records_[k].data();
      properties_[k].cotfRecords = static_cast<int>(records_[k].size());
      ranges_.push_back(&properties_[k]);
    }
  }
  FeatureRange(const FeatureRange &) = delete;
  FeatureRange &operator=(const FeatureRange &) = delete;
  int *chars() { return ranges_.empty() ? nullptr : chars_.data(); }
  TEXTRANGE_PROPERTIES **properties() { return ranges_.empty() ? nullptr : ranges_.data(); }
  int count() const { return static_cast<int>(ranges_.size()); }

 private:
  std::vector<FeatureList> records_;  // the item's own copies, one per range
  std::vector<int> chars_;
  std::vector<TEXTRANGE_PROPERTIES> properties_;
  std::vector<TEXTRANGE_PROPERTIES *> ranges_;
};

bool font_lists(const ShapeRun &run, OPENTYPE_TAG tag) {
  return std::find(run.font_scripts.begin(), run.font_scripts.end(), tag) != run.font_scripts.end();
}

}  // namespace

OPENTYPE_TAG choose_script_tag(ShapeRun &run, const Item &item) {
  const bool known = !run.font_scripts.empty();
  if (run.script_tag != 0 && (!known || font_lists(run, run.script_tag))) return run.script_tag;
  SCRIPT_ANALYSIS analysis = item.analysis;
  OPENTYPE_TAG tags[kMaxScriptTags] = {};
  int count = 0;
  HRESULT hr = run.usp.font_script_tags(run.hdc, run.cache, &analysis, kMaxScriptTags, tags, &count);
  if (hr == S_OK && count > 0 && tags[0] != 0) return tags[0];
  if (known) {
    for (OPENTYPE_TAG fallback : {pack_tag("DFLT"), pack_tag("dflt"), pack_tag("latn")})
      if (font_lists(run, fallback)) return fallback;
  }
  return item.itemizer_tag != 0 ? item.itemizer_tag : kTagDflt;
}

namespace {

Result<std::monostate> shape_item(ShapeRun &run, std::u16string_view text, const Item &item,
                                  SCRIPT_ANALYSIS &analysis, OPENTYPE_TAG tag, FeatureRange &range,
                                  ShapedItem &out) {
  int chars = static_cast<int>(item.end - item.start);
  out.log_clusters.assign(chars, 0);
  out.char_props.assign(chars, SCRIPT_CHARPROP{});
  int capacity = buffer_size(3LL * chars + 8);
  int glyph_count = 0;
  out.overflowed = false;
  for (;;) {
    out.glyphs.assign(capacity, 0);
    out.glyph_props.assign(capacity, SCRIPT_GLYPHPROP{});
    HRESULT hr = run.usp.shape(run.hdc, run.cache, &analysis, tag, run.language_tag, range.chars(), range.properties(),
                               range.count(), text.data() + item.start, chars, capacity, out.log_clusters.data(),
                               out.char_props.data(), out.glyphs.data(), out.glyph_props.data(), &glyph_count);
    if (hr == S_OK) break;
    if (hr != E_OUTOFMEMORY) return fail("ScriptShapeOpenType tag=" + tag_hex(tag) + ": " + named_code(hr));
    if (capacity > kLargestDoubledGlyphBuffer) {
      out.overflowed = true;
      return fail(kGlyphOverflow);
    }
    begin_trace(run.usp, run.tracing);
    capacity *= 2;
  }
  if (glyph_count < 0 || glyph_count > capacity)
    throw EnginePanic("backend returned " + std::to_string(glyph_count) + " glyphs for a buffer of " +
                      std::to_string(capacity));
  out.capacity = capacity;
  out.glyph_count = glyph_count;
  return std::monostate{};
}

// The first character of each glyph. A glyph that no character points at
// belongs to the cluster of the nearest pointed-at glyph before it; glyphs
// before any pointed-at one get the item's last character.
void first_characters(const ShapedItem &shaped, int chars, std::vector<std::uint64_t> &first) {
  std::size_t glyphs = static_cast<std::size_t>(shaped.glyph_count);
  first.assign(glyphs, kUnset);
  for (int c = 0; c < chars; ++c) {
    std::size_t k = shaped.log_clusters[c];
    if (k < glyphs && first[k] == kUnset) first[k] = static_cast<std::uint64_t>(c);
  }
  std::uint64_t carried = static_cast<std::uint64_t>(chars - 1);
  for (std::uint64_t &f : first) {
    if (f == kUnset)
      f = carried;
    else
      carried = f;
  }
}

// A line built in place, for the item messages and labels made for every
// item: the longest, with five 64-bit numbers, fits.
class Line {
 public:
  Line &operator<<(std::string_view text) {
    std::memcpy(text_.data() + size_, text.data(), text.size());
    size_ += text.size();
    return *this;
  }
  template <class Int> Line &number(Int n) {
    auto [end, ec] = std::to_chars(text_.data() + size_, text_.data() + text_.size(), n);
    (void)ec;  // room is left for every 64-bit integer
    size_ = static_cast<std::size_t>(end - text_.data());
    return *this;
  }
  // "0x746c6664": a tag as a 32-bit number, eight lower-case digits.
  Line &tag(OPENTYPE_TAG tag) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    char *out = text_.data() + size_;
    out[0] = '0';
    out[1] = 'x';
    for (int i = 0; i < 8; ++i) out[2 + i] = kHexDigits[(tag >> (28 - 4 * i)) & 0xFU];
    size_ += 10;
    return *this;
  }
  std::string_view view() const { return {text_.data(), size_}; }

 private:
  std::array<char, 192> text_;
  std::size_t size_ = 0;
};

Value item_message(const Item &item, OPENTYPE_TAG tag, std::size_t glyphs) {
  Line m;
  m << "Uniscribe item ";
  m.number(item.index) << ": script ";
  m.number(item.analysis.eScript) << " tag ";
  m.tag(tag) << " chars ";
  m.number(item.start) << "..";
  m.number(item.end) << " -> ";
  m.number(glyphs) << " glyphs";
  if (item.analysis.fRTL) m << " (RTL, visual order out)";
  return Value::string(m.view());
}

std::string_view item_label(Line &m, const Item &item, OPENTYPE_TAG tag) {
  m << "Uniscribe shape item ";
  m.number(item.index) << " (script ";
  m.number(item.analysis.eScript) << ", tag ";
  m.tag(tag) << ")";
  return m.view();
}

}  // namespace

Result<std::monostate> shape_records(ShapeRun &run, std::u16string_view text, const Item &item, OPENTYPE_TAG tag,
                                     const FeatureList &features, ItemBuffers &buffers) {
  run.tracing.start_item();
  begin_trace(run.usp, run.tracing);
  ProbeSwitches switches = read_probe_switches(run.tracing.native);

  SCRIPT_ANALYSIS analysis = item.analysis;
  analysis.fLogicalOrder = 1;
  int chars = static_cast<int>(item.end - item.start);
  FeatureRange range(features, run.ranged_features, item.start, item.end);
  ShapedItem &shaped = buffers.shaped;
  if (auto r = shape_item(run, text, item, analysis, tag, range, shaped); !r) return r.take_failure();

  std::span<const WORD> shaped_ids(shaped.glyphs.data(), static_cast<std::size_t>(shaped.glyph_count));
  if (auto r = report_item_probes(switches, run.tracing, shaped_ids, shaped.capacity); !r) return r.take_failure();
  if (auto r = read_back_stages(run.usp, run.tracing); !r) return r.take_failure();

  std::size_t slots = std::max(shaped.glyph_count, 1);
  buffers.abc = ABC{};
  buffers.advances.assign(slots, 0);
  buffers.offsets.assign(slots, GOFFSET{0, 0});
  HRESULT hr = run.usp.place(run.hdc, run.cache, &analysis, tag, run.language_tag, range.chars(), range.properties(),
                             range.count(), text.data() + item.start, shaped.log_clusters.data(),
                             shaped.char_props.data(), chars, shaped.glyphs.data(), shaped.glyph_props.data(),
                             shaped.glyph_count, buffers.advances.data(), buffers.offsets.data(),
                             run.place_widths ? &buffers.abc : nullptr);
  if (hr != S_OK) return fail("ScriptPlaceOpenType: " + named_code(hr));

  first_characters(shaped, chars, buffers.first);
  std::vector<GlyphRecord> &records = buffers.records;
  records.resize(buffers.first.size());
  for (std::size_t k = 0; k < records.size(); ++k)
    records[k] = GlyphRecord{shaped.glyphs[k], buffers.first[k], buffers.offsets[k].du, buffers.offsets[k].dv,
                             buffers.advances[k]};
  return std::monostate{};
}

Result<std::monostate> run_item(ShapeRun &run, std::u16string_view text, const Item &item,
                                const FeatureList &features, ItemBuffers &buffers, ItemSink &sink, std::size_t cut) {
  const std::uint64_t chars = item.end - item.start;
  if (run.cut_long_items && !item.runs_bounded && chars > kLongestMarkRun) {
    const std::vector<std::size_t> cuts = mark_run_cuts(text.substr(item.start, chars));
    if (!cuts.empty()) return mark_pieces(run, text, item, features, buffers, sink, cuts);
    Item bounded = item;
    bounded.runs_bounded = true;
    return run_item(run, text, bounded, features, buffers, sink, cut);
  }
  if (run.cut_long_items && cut == kNoCut && chars > kCutUnshapedChars)
    return run_pieces(run, text, item, features, buffers, sink, cut);
  if (run.cut_long_items && run.tracing.on && !item.whole_trace && chars > kTracedPieceChars)
    return trace_pieces(run, text, item, features, buffers, sink, cut);
  const OPENTYPE_TAG tag = choose_script_tag(run, item);
  if (auto r = shape_records(run, text, item, tag, features, buffers); !r) {
    if (buffers.shaped.overflowed && run.cut_long_items) return run_pieces(run, text, item, features, buffers, sink, cut);
    return r.take_failure();
  }
  const ShapedItem &shaped = buffers.shaped;
  const auto chars_of_item = static_cast<std::size_t>(chars);
  sink.item(run,
            ItemView{item.index, item.analysis, tag, item.start, item.end, item.continues,
                     std::span<const WORD>(shaped.log_clusters.data(), chars_of_item),
                     std::span<const SCRIPT_CHARPROP>(shaped.char_props.data(), chars_of_item),
                     std::span<const SCRIPT_GLYPHPROP>(shaped.glyph_props.data(),
                                                       static_cast<std::size_t>(shaped.glyph_count)),
                     buffers.abc},
            buffers.records);
  return std::monostate{};
}

namespace {

// The result document's lists, filled item by item.
class DocumentSink : public ItemSink {
 public:
  void item(ShapeRun &run, const ItemView &item, std::span<const GlyphRecord> records) override {
    bool rtl = item.analysis.fRTL != 0;
    Item own{item.index, item.analysis, 0, item.start, item.end};
    messages.push(item_message(own, item.tag, records.size()));
    TracedItem traced{item.index, records, item.end - item.start, item.start, rtl};
    keep_item_trace(run.tracing, traced);
    const std::size_t first = final_glyphs.size();
    append_item_glyphs(final_glyphs, records, rtl, item.start);
    if (!append_stage_entries(run.tracing, traced, stages, messages)) {
      // The item's stage holds its glyphs as the final list has just taken
      // them: a view of those rows, made once the list is whole (finish).
      Line label;
      untraced.push_back(Untraced{stages.size(), first, records.size()});
      stages.push(stage_entry(item_label(label, own, item.tag), Value()));
    }
  }
  // The untraced items' glyphs; a line for each item shaped as pieces,
  // after the pieces' own lines.
  void finish(ShapeRun &run) override {
    for (const Untraced &u : untraced) stages.at(u.stage).insert("glyphs", final_glyphs.record_view(u.first, u.count));
    for (const ItemCut &cut : run.cuts) messages.push(Value::string(cut_message(cut)));
  }

  Value stages = Value::array();
  Value final_glyphs = glyph_list();
  Value messages = Value::array();

 private:
  struct Untraced {
    std::size_t stage, first, count;
  };
  std::vector<Untraced> untraced;
};

}  // namespace

std::string named_code(HRESULT hr) {
  const char *name = "HRESULT error";
  if (hr == E_INVALIDARG) name = "E_INVALIDARG";
  if (hr == E_OUTOFMEMORY) name = "E_OUTOFMEMORY";
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%s (0x%08X)", name, static_cast<unsigned>(hr));
  return buffer;
}

std::string cut_message(const ItemCut &cut) {
  std::string m = "chars " + std::to_string(cut.start) + ".." + std::to_string(cut.end);
  m += cut_reason(cut);
  m += std::to_string(cut.pieces);
  m += " items";
  m += cut_places(cut);
  if (cut.grapheme_cuts > 0) m += ", " + std::to_string(cut.grapheme_cuts) + " of the cuts at grapheme boundaries";
  return m;
}

std::string tag_hex(OPENTYPE_TAG tag) {
  Line text;
  return std::string(text.tag(tag).view());
}

Result<std::monostate> shape_items_into(std::u16string_view text, std::uint16_t rtl, const Usp10 &usp,
                                        ShapeRun &run, const FeatureList &features, ItemSink &sink) {
  const std::int64_t n = static_cast<std::int64_t>(text.size());
  const int max_items = buffer_size(2 * n + 8);
  if (n > INT_MAX) throw EnginePanic("text longer than the backend's int range");

  ZeroedArray<SCRIPT_ITEM> items(static_cast<std::size_t>(max_items) + 1);
  ZeroedArray<OPENTYPE_TAG> tags(static_cast<std::size_t>(max_items) + 1);
  SCRIPT_CONTROL control{};
  SCRIPT_STATE state{};
  if (rtl == 1) {
    state.uBidiLevel = 1;
    state.fArabicNumContext = 1;
  }
  int item_count = 0;
  HRESULT hr = usp.itemize(text.data(), static_cast<int>(n), max_items, &control, &state, items.data(),
                           tags.data(), &item_count);
  if (hr != S_OK) return fail("ScriptItemizeOpenType: " + named_code(hr));
  if (item_count <= 0) return fail("no glyphs produced");
  if (static_cast<std::size_t>(item_count) > items.size())
    throw EnginePanic("backend itemized into " + std::to_string(item_count) + " items for " +
                      std::to_string(items.size()) + " slots");

  ItemBuffers buffers;
  for (std::size_t i = 0; i < static_cast<std::size_t>(item_count); ++i) {
    std::int64_t start = std::max(items[i].iCharPos, 0);
    std::int64_t end = i + 1 < items.size() ? std::clamp<std::int64_t>(items[i + 1].iCharPos, 0, n) : n;
    if (end < start) end = start;
    if (end == start) continue;
    Item item{i, items[i].a, tags[i], static_cast<std::uint64_t>(start), static_cast<std::uint64_t>(end)};
    if (auto r = run_item(run, text, item, features, buffers, sink); !r) return r.take_failure();
  }
  sink.finish(run);
  return std::monostate{};
}

Result<Value> shape_items(std::u16string_view text, std::uint16_t rtl, const Usp10 &usp, ShapeRun &run,
                          const FontFacts &font, const FeatureList &features) {
  DocumentSink out;
  if (auto r = shape_items_into(text, rtl, usp, run, features, out); !r) return r.take_failure();
  if (out.final_glyphs.size() == 0) return fail("no glyphs produced");
  return result_document(DocumentParts{font.upem, font.glyph_count, std::move(out.stages),
                                       std::move(out.final_glyphs), std::move(out.messages), font.family,
                                       font.path});
}

}  // namespace tesvo
