// The pieces a long item is shaped as: an item with more glyphs than one
// Uniscribe item holds, and a long item traced, whose trace would cost
// HarfBuzz time quadratic in its length.
#include <algorithm>
#include <span>
#include <vector>

#include "shape/item_shaping.h"
#include "text/unicode_tables.h"

namespace tesvo {

namespace {

// The longest piece an overflowing item is cut into, in UTF-16 code units: a
// piece of one or two glyphs per character fits 65,535 glyphs.
constexpr std::uint64_t kPieceChars = 32768;

// The break opportunities of an item's characters: the backend's ScriptBreak,
// else white space (the common space characters), a break after it, and
// caret stops between code points.
std::vector<SCRIPT_LOGATTR> item_breaks(const ShapeRun &run, std::u16string_view chars,
                                        const SCRIPT_ANALYSIS &analysis) {
  std::vector<SCRIPT_LOGATTR> breaks(chars.size(), SCRIPT_LOGATTR{});
  if (run.usp.script_break != nullptr &&
      run.usp.script_break(chars.data(), static_cast<int>(chars.size()), &analysis, breaks.data()) == S_OK)
    return breaks;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const char16_t c = chars[i];
    breaks[i].fWhiteSpace = c == u' ' || c == u'\t' || c == 0x3000 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A);
    breaks[i].fCharStop = c < 0xDC00 || c > 0xDFFF;
    breaks[i].fSoftBreak = i > 0 && breaks[i - 1].fWhiteSpace && !breaks[i].fWhiteSpace;
  }
  return breaks;
}

// Where a piece that starts at `from` ends, at most `limit` code units on:
// before the last character in that stretch that may start a line after white
// space, else before the last that may start a line, else at the last grapheme
// boundary (`grapheme` set), else at the limit. Offsets in the item.
std::size_t piece_end(std::span<const SCRIPT_LOGATTR> breaks, std::size_t from, std::size_t limit, bool &grapheme) {
  const std::size_t last = from + limit;
  for (std::size_t p = last; p > from; --p)
    if (breaks[p].fSoftBreak && breaks[p - 1].fWhiteSpace) return p;
  for (std::size_t p = last; p > from; --p)
    if (breaks[p].fSoftBreak) return p;
  grapheme = true;
  for (std::size_t p = last; p > from; --p)
    if (breaks[p].fCharStop) return p;
  return last;
}

// The piece [from, to) of the item (offsets in the item), an item of its own
// for the backend, flagged as neither beginning nor ending the text where it
// does not.
Item piece_of(const Item &item, std::size_t from, std::size_t to, std::size_t text_length) {
  Item piece = item;
  piece.start = item.start + from;
  piece.end = item.start + to;
  piece.continues = item.continues || from > 0;
  if (piece.start > 0) piece.analysis.s.fEngineReserved |= 1;
  if (piece.end < text_length) piece.analysis.s.fEngineReserved |= 2;
  return piece;
}

// The run's trace switched off while an owner lives.
class TracePaused {
 public:
  explicit TracePaused(TraceState &trace) : trace_(trace), was_(trace.on) { trace_.on = false; }
  TracePaused(const TracePaused &) = delete;
  TracePaused &operator=(const TracePaused &) = delete;
  ~TracePaused() { trace_.on = was_; }

 private:
  TraceState &trace_;
  bool was_;
};

bool same_record(const GlyphRecord &a, const GlyphRecord &b, std::uint64_t shift) {
  return a.g == b.g && a.cl + shift == b.cl && a.dx == b.dx && a.dy == b.dy && a.ax == b.ax;
}

// How the glyphs of the piece [from, to), shaped alone, stand to those the
// item gives there (`whole`: logical order, clusters relative to the item,
// never falling): the same, or where they first differ, nearer the piece's
// start or nearer its end.
enum class PieceMatch { same, differs_at_start, differs_at_end };

PieceMatch match_whole(std::span<const GlyphRecord> piece, std::span<const GlyphRecord> whole, std::size_t from,
                       std::size_t to) {
  const auto first = std::partition_point(whole.begin(), whole.end(), [&](const GlyphRecord &r) { return r.cl < from; });
  const auto last = std::partition_point(first, whole.end(), [&](const GlyphRecord &r) { return r.cl < to; });
  const std::span<const GlyphRecord> there(first, last);
  const std::size_t shorter = std::min(piece.size(), there.size());
  std::size_t head = 0;
  while (head < shorter && same_record(piece[head], there[head], from)) ++head;
  if (head == piece.size() && head == there.size()) return PieceMatch::same;
  std::size_t tail = 0;
  while (tail < shorter - head &&
         same_record(piece[piece.size() - 1 - tail], there[there.size() - 1 - tail], from))
    ++tail;
  return head <= tail ? PieceMatch::differs_at_start : PieceMatch::differs_at_end;
}

}  // namespace

// An item with more glyphs than one Uniscribe item holds, shaped as pieces of
// at most kPieceChars code units (half of the item, if less); a piece that
// still overflows is cut again. Each piece is an item of its own for the
// backend, flagged as neither beginning nor ending the text where it does not.
Result<std::monostate> run_pieces(ShapeRun &run, std::u16string_view text, const Item &item,
                                  const FeatureList &features, ItemBuffers &buffers, ItemSink &sink,
                                  std::size_t cut) {
  const std::size_t length = item.end - item.start;
  if (length < 2) return fail(kGlyphOverflow);
  if (cut == kNoCut) {
    cut = run.cuts.size();
    run.cuts.push_back(ItemCut{item.start, item.end, 1, 0,
                               length > kCutUnshapedChars ? CutReason::length : CutReason::overflow});
  }
  const std::size_t limit = std::min<std::size_t>(kPieceChars, length / 2);
  const std::vector<SCRIPT_LOGATTR> breaks = item_breaks(run, text.substr(item.start, length), item.analysis);
  std::size_t from = 0;
  while (from < length) {
    bool grapheme = false;
    const std::size_t to = length - from <= limit ? length : piece_end(breaks, from, limit, grapheme);
    const Item piece = piece_of(item, from, to, text.size());
    if (to < length) {
      run.cuts[cut].pieces += 1;
      run.cuts[cut].grapheme_cuts += grapheme ? 1 : 0;
    }
    if (auto r = run_item(run, text, piece, features, buffers, sink, cut); !r) return r.take_failure();
    from = to;
  }
  return std::monostate{};
}


namespace {

// Where a long traced item is cut for its trace: `cuts` from 0 to the
// item's length, at most kTracedPieceChars code units apart where the glyphs
// allow. The item and each piece are shaped untraced, and a cut where a
// piece alone gives other glyphs than the item there (a lookup reaching
// across it) is dropped, joining the piece to the one on the side where they
// differ, until every piece gives the item's glyphs. False when the item
// overflows the glyph buffer.
Result<bool> plan_trace_cuts(ShapeRun &run, std::u16string_view text, const Item &item, OPENTYPE_TAG tag,
                             const FeatureList &features, ItemBuffers &buffers, std::vector<std::size_t> &cuts,
                             std::vector<bool> &at_grapheme) {
  const TracePaused paused(run.tracing);
  const std::size_t length = item.end - item.start;
  if (auto r = shape_records(run, text, item, tag, features, buffers); !r) {
    if (buffers.shaped.overflowed) return false;
    return r.take_failure();
  }
  const std::vector<GlyphRecord> whole = buffers.records;
  const std::vector<SCRIPT_LOGATTR> breaks = item_breaks(run, text.substr(item.start, length), item.analysis);
  cuts.assign(1, 0);
  at_grapheme.assign(1, false);
  while (cuts.back() < length) {
    const std::size_t from = cuts.back();
    bool grapheme = false;
    cuts.push_back(length - from <= kTracedPieceChars ? length : piece_end(breaks, from, kTracedPieceChars, grapheme));
    at_grapheme.push_back(grapheme);
  }
  for (std::size_t k = 0; k + 1 < cuts.size() && cuts.size() > 2;) {
    const Item piece = piece_of(item, cuts[k], cuts[k + 1], text.size());
    if (auto r = shape_records(run, text, piece, tag, features, buffers); !r) return r.take_failure();
    const PieceMatch match = match_whole(buffers.records, whole, cuts[k], cuts[k + 1]);
    if (match == PieceMatch::same) {
      ++k;
      continue;
    }
    // Joined to the piece before it where they differ near its start (and
    // one comes before), else to the one after it, which the last piece has
    // not: its glyphs end as the item's do.
    const bool back = k > 0 && (match == PieceMatch::differs_at_start || k + 2 == cuts.size());
    const std::size_t dropped = back ? k : k + 1;
    cuts.erase(cuts.begin() + static_cast<std::ptrdiff_t>(dropped));
    at_grapheme.erase(at_grapheme.begin() + static_cast<std::ptrdiff_t>(dropped));
    if (back) --k;
  }
  return true;
}

}  // namespace

std::vector<std::size_t> mark_run_cuts(std::u16string_view chars) {
  // The code point at i and its length in code units (a lone surrogate as itself).
  const auto at = [&](std::size_t i, std::size_t &units) -> char32_t {
    const char32_t c = chars[i];
    units = 1;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < chars.size() && chars[i + 1] >= 0xDC00 && chars[i + 1] <= 0xDFFF) {
      units = 2;
      return 0x10000 + ((c - 0xD800) << 10) + (chars[i + 1] - 0xDC00);
    }
    return c;
  };
  const auto continuing = [&](std::size_t i) {
    std::size_t units = 0;
    return continues_grapheme(at(i, units));
  };
  // A run longer than kLongestMarkRun code points covers more code units than
  // the step, so one of the characters looked at falls in it.
  constexpr std::size_t kStep = kLongestMarkRun / 2;
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < chars.size(); i += kStep) {
    if (i > 0 && chars[i] >= 0xDC00 && chars[i] <= 0xDFFF && chars[i - 1] >= 0xD800 && chars[i - 1] <= 0xDBFF) --i;
    if (!continuing(i)) continue;
    std::size_t start = i;
    while (start > 0) {
      const std::size_t before = start >= 2 && chars[start - 1] >= 0xDC00 && chars[start - 1] <= 0xDFFF &&
                                         chars[start - 2] >= 0xD800 && chars[start - 2] <= 0xDBFF
                                     ? start - 2
                                     : start - 1;
      if (!continuing(before)) break;
      start = before;
    }
    std::size_t end = start, count = 0;
    while (end < chars.size()) {
      std::size_t units = 0;
      if (!continues_grapheme(at(end, units))) break;
      if (count > 0 && count % kLongestMarkRun == 0) cuts.push_back(end);
      ++count;
      end += units;
    }
    i = end;
  }
  return cuts;
}

Result<std::monostate> mark_pieces(ShapeRun &run, std::u16string_view text, const Item &item,
                                   const FeatureList &features, ItemBuffers &buffers, ItemSink &sink,
                                   std::span<const std::size_t> cuts) {
  run.cuts.push_back(ItemCut{item.start, item.end, cuts.size() + 1, 0, CutReason::marks});
  std::size_t from = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t to = k < cuts.size() ? cuts[k] : item.end - item.start;
    Item piece = piece_of(item, from, to, text.size());
    piece.runs_bounded = true;
    if (auto r = run_item(run, text, piece, features, buffers, sink); !r) return r.take_failure();
    from = to;
  }
  return std::monostate{};
}

// A long traced item, traced as the pieces plan_trace_cuts chose, each an
// item of its own with its own stages.
Result<std::monostate> trace_pieces(ShapeRun &run, std::u16string_view text, const Item &item,
                                    const FeatureList &features, ItemBuffers &buffers, ItemSink &sink,
                                    std::size_t cut) {
  const OPENTYPE_TAG tag = choose_script_tag(run, item);
  std::vector<std::size_t> cuts;
  std::vector<bool> at_grapheme;  // whether cuts[k] is at a grapheme boundary only
  Result<bool> planned = plan_trace_cuts(run, text, item, tag, features, buffers, cuts, at_grapheme);
  if (!planned) return planned.take_failure();
  // An item past the glyph limit is shaped as pieces, each traced as pieces again where long.
  if (!*planned) return run_pieces(run, text, item, features, buffers, sink, cut);
  if (cuts.size() == 2) {
    Item whole = item;
    whole.whole_trace = true;
    return run_item(run, text, whole, features, buffers, sink, cut);
  }
  const std::size_t traced_cut = run.cuts.size();
  run.cuts.push_back(ItemCut{item.start, item.end, cuts.size() - 1,
                             static_cast<std::size_t>(std::count(at_grapheme.begin(), at_grapheme.end(), true)),
                             CutReason::trace});
  for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
    Item piece = piece_of(item, cuts[k], cuts[k + 1], text.size());
    piece.whole_trace = true;
    if (auto r = run_item(run, text, piece, features, buffers, sink, traced_cut); !r) return r.take_failure();
  }
  return std::monostate{};
}

}  // namespace tesvo
