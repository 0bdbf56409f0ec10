// Reading the port's shaping trace back after an item is shaped.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/document.h"
#include "lib/result.h"
#include "lib/value.h"

namespace tesvo {

struct ShapeRun;

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

struct TraceStage {
  StageKind kind;
  std::string name;
  std::vector<TraceGlyph> glyphs;  // logical order
  bool positioned() const { return kind == StageKind::position || kind == StageKind::final; }
};

// Every stage of one item, in the order the shaper ran them.
struct ItemTrace {
  std::size_t item;
  std::uint64_t start;  // the item's first UTF-16 index in the text
  std::uint64_t end;
  bool rtl;
  std::vector<TraceStage> stages;
};

// Starts the port's recording for an item or a retry, when the request traces.
void begin_trace(const ShapeRun &run);

// Copies the stages the port recorded for the item into run.lookup_stages
// (those the result document lists: no positioning or normalization stage) and, where the port
// gives them, the full stages into run.item_stages; fails with the port's
// reason when it refused to trace the item.
Result<std::monostate> read_back_stages(ShapeRun &run);

struct TracedItem {
  std::size_t index;
  std::span<const GlyphRecord> records;  // logical order, clusters relative to the item
  std::uint64_t chars;
  std::uint64_t start;
  bool rtl;
};

// Moves the item's full stages, clusters made absolute, to run.item_traces.
void keep_item_trace(ShapeRun &run, const TracedItem &item);

// Takes the item's stages from the run and appends one entry per stage and
// the trace line. Returns false, changing nothing, when there is no stage.
bool append_stage_entries(ShapeRun &run, const TracedItem &item, Value &stages, Value &messages);

}  // namespace tesvo
