// Diagnostic switches of the native engine trace: per-item report lines on
// standard error, and the checks of a native trace against the shaped glyphs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"

namespace tesvo {

struct TraceState;

// What a native capture saw for one item. Without a capture (this platform)
// every value keeps its empty form.
struct NativeCapture {
  struct RetHit {
    std::uint32_t count = 0;
    std::string m;
  };
  std::uint64_t apps = 0;
  std::optional<std::vector<std::uint16_t>> last_run;
  std::uint64_t glyph_fires = 0;
  std::int32_t distinct_states = 0;
  std::uint64_t ret_fires = 0;
  std::uint64_t ret_base = 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, RetHit> ret_hits;
  std::uint64_t ret_modbase = 0;
  std::uint64_t worker_events = 0;
  std::uint64_t gdi32full_base = 0;
  std::map<std::uint64_t, std::uint32_t> callee_hits;
};

// The per-item switches, read afresh at the start of every item.
struct ProbeSwitches {
  bool worker = false;      // TESVO_WORKER_PROBE
  bool callee = false;      // TESVO_CALLEE_PROBE
  bool glyph = false;       // TESVO_GLYPH_PROBE
  bool ret = false;         // TESVO_RET_PROBE
  bool ts_probe = false;    // TESVO_TS_PROBE
  bool ts_ret = false;      // TESVO_TS_RET
  bool native_run = false;  // TESVO_NATIVE_RUN, or a native trace
  const char *capture_module = nullptr;  // the module a native capture would attach to
};

ProbeSwitches read_probe_switches(bool native_trace);

// After an item is shaped: the native-trace checks and the report lines.
// shaped holds the item's glyph ids, capacity the glyph buffer's size.
Result<std::monostate> report_item_probes(const ProbeSwitches &switches, const TraceState &run,
                                          std::span<const std::uint16_t> shaped, int capacity);

// Writes one whole line to standard error under the process-wide lock; a
// failed write is an engine failure.
void write_report_line(const std::string &line);

}  // namespace tesvo
