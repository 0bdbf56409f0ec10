// Reading the port's shaping trace back after an item is shaped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "abi/loader.h"
#include "base/common_ends.h"
#include "document/document.h"
#include "trace/probes.h"
#include "base/result.h"
#include "json/value.h"

namespace tesvo {


// What a stage of the port's trace is. Ports without usp_trace_stage_glyphs
// give no kind and no stage of this form.
enum class StageKind { cmap, reorder, substitute, position, final, normalize, other };

// The kind's name as results show it: "cmap", "reorder", "substitute", ...
std::string_view stage_kind_name(StageKind kind);

// A glyph as a stage holds it: the cluster is the shaper's at that moment,
// as a UTF-16 index into the request text; advance and offsets are the
// shaper's own values, set only in stages that position.
struct TraceGlyph {
  std::uint32_t id;
  std::uint64_t cluster;
  std::int32_t advance = 0;
  std::int32_t x_offset = 0;
  std::int32_t y_offset = 0;
  bool operator==(const TraceGlyph &) const = default;
};

// Whether stages of that kind carry positions.
inline bool positions(StageKind kind) { return kind == StageKind::position || kind == StageKind::final; }

// One stage of an item as the change it made to the stage before it: that
// stage's glyphs [start, stop) replaced by `glyphs`. The first stage of an
// item replaces nothing in an empty run (start = stop = 0).
struct TraceStage {
  StageKind kind;
  std::string name;
  std::size_t count = 0;  // the glyphs of the whole stage
  std::size_t start = 0;
  std::size_t stop = 0;
  std::vector<TraceGlyph> glyphs;  // logical order
  // A contextual lookup's calls: the lookups (of its table) its rules called,
  // in the order first called, each once.
  std::vector<std::uint16_t> nested = {};
  bool positioned() const { return positions(kind); }
};

// An item's stages made whole again, one after the other from the first.
class StageReplay {
 public:
  // The stage whole: the one before it with the stage's change applied.
  const std::vector<TraceGlyph> &apply(const TraceStage &stage);

 private:
  std::vector<TraceGlyph> glyphs_;
};

// The change from the whole stage `before`, of kind `before_kind` (none for
// the first stage of an item), to `after` (the glyphs both begin and end with
// left out), as the stage of that kind and name. A stage that positions and
// one that does not share no glyph: the change then replaces every glyph.
TraceStage stage_change(StageKind kind, std::string name, std::span<const TraceGlyph> before,
                        std::optional<StageKind> before_kind, std::span<const TraceGlyph> after);

// Every stage of one item, in the order the shaper ran them.
struct ItemTrace {
  std::size_t item;
  std::uint64_t start;  // the item's first UTF-16 index in the text
  std::uint64_t end;
  bool rtl;
  std::vector<TraceStage> stages;
};

// A stage of a trace: its name and the glyph ids after it.
struct StagePair {
  std::string name;
  std::vector<std::uint16_t> glyphs;
};

// What the trace holds while a run shapes: the current item's stages as the
// port recorded them, and every traced item's so far. The run owns it; only
// the functions below and the sinks that take an item's stages write it.
struct TraceState {
  bool on = false;      // the request asked for a trace
  bool native = false;  // the stages come from a native engine capture
  bool native_ready = false;
  NativeCapture capture;                 // what the native capture saw for the current item
  std::vector<StagePair> lookup_stages;  // the port's per-lookup stages of the current item
  std::vector<StagePair> native_stages;  // the native engine's stages of the current item
  std::vector<TraceStage> item_stages;   // the port's stages of the current item, as changes
  // item_stages came from the port's changes, and lookup_stages is still to
  // be rebuilt from them for the document.
  bool stages_as_changes = false;
  std::vector<ItemTrace> item_traces;    // the stages of every traced item so far

  // Before each item: nothing of the item before it is kept.
  void start_item() {
    lookup_stages.clear();
    native_stages.clear();
    item_stages.clear();
    native_ready = false;
    capture = NativeCapture{};
  }
};

// Starts the port's recording for an item or a retry, when the request traces.
void begin_trace(const Usp10 &usp, const TraceState &trace);

// Copies the stages the port recorded for the item into trace.item_stages, as
// changes, where the port gives clusters and kinds: from its change read-out
// (usp_trace_stage_change) when it has one, else from its whole stages. The
// ids of the stages the result document lists (no positioning or
// normalization stage) go into trace.lookup_stages from the port's
// usp_trace_stage, or, when the port gives changes, are rebuilt from them
// when the document is written (append_stage_entries). Fails with the port's reason when it
// refused to trace the item.
Result<std::monostate> read_back_stages(const Usp10 &usp, TraceState &trace);

struct TracedItem {
  std::size_t index;
  std::span<const GlyphRecord> records;  // logical order, clusters relative to the item
  std::uint64_t chars;
  std::uint64_t start;
  bool rtl;
};

// Moves the item's stages, clusters made absolute, to trace.item_traces.
void keep_item_trace(TraceState &trace, const TracedItem &item);

// Takes the item's stages from the run and appends one entry per stage and
// the trace line. Returns false, changing nothing, when there is no stage.
bool append_stage_entries(TraceState &trace, const TracedItem &item, Value &stages, Value &messages);

}  // namespace tesvo
