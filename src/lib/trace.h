// Reading the port's per-lookup trace back after an item is shaped.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "lib/document.h"
#include "lib/result.h"
#include "lib/value.h"

namespace tesvo {

struct ShapeRun;

// Starts the port's recording for an item or a retry, when the request traces.
void begin_trace(const ShapeRun &run);

// Copies the stages the port recorded for the item into run.lookup_stages;
// fails with the port's reason when it refused to trace the item.
Result<std::monostate> read_back_stages(ShapeRun &run);

struct TracedItem {
  std::size_t index;
  std::span<const GlyphRecord> records;  // logical order, clusters relative to the item
  std::uint64_t chars;
  std::uint64_t start;
  bool rtl;
};

// Takes the item's stages from the run and appends one entry per stage and
// the trace line. Returns false, changing nothing, when there is no stage.
bool append_stage_entries(ShapeRun &run, const TracedItem &item, Value &stages, Value &messages);

}  // namespace tesvo
