// The native trace's diagnostic switches and report lines on standard error,
// and its checks against the shaped glyphs.
#include "trace/probes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "base/environment.h"
#include "trace/trace.h"

namespace tesvo {

namespace {

bool is_set(std::size_t variable) { return environment_value(variable) != nullptr; }

std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::string glyph_list(std::span<const std::uint16_t> ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(ids[i]);
  }
  out += "]";
  return out;
}

const char *boolean(bool b) { return b ? "true" : "false"; }

std::mutex &stderr_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

void write_report_line(const std::string &line) {
  std::lock_guard<std::mutex> hold(stderr_lock());
  std::size_t written = 0;
  while (written < line.size()) {
    ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EnginePanic("failed printing to stderr: " + std::to_string(errno));
    written += static_cast<std::size_t>(n);
  }
}

ProbeSwitches read_probe_switches(bool native_trace) {
  ProbeSwitches s;
  s.worker = is_set(engine_variable("TESVO_WORKER_PROBE"));
  s.callee = is_set(engine_variable("TESVO_CALLEE_PROBE"));
  s.glyph = is_set(engine_variable("TESVO_GLYPH_PROBE"));
  s.ret = is_set(engine_variable("TESVO_RET_PROBE"));
  s.ts_probe = is_set(engine_variable("TESVO_TS_PROBE"));
  s.ts_ret = is_set(engine_variable("TESVO_TS_RET"));
  s.native_run = is_set(engine_variable("TESVO_NATIVE_RUN")) || native_trace;
  // Where a native capture would attach. Nothing is attached on this platform.
  if (s.ts_probe)
    s.capture_module = "TextShaping.dll";
  else if (s.ret || s.glyph || s.callee)
    s.capture_module = "gdi32full.dll";
  else if (s.native_run && !s.worker)
    s.capture_module = "TextShaping.dll";
  return s;
}

Result<std::monostate> report_item_probes(const ProbeSwitches &s, const TraceState &run,
                                          std::span<const std::uint16_t> shaped, int capacity) {
  const NativeCapture &c = run.capture;
  if (s.native_run && run.native && !run.native_ready)
    return fail(
        "TextShaping native trace: this build of TextShaping.dll is not in the supported set "
        "(validated: Win11 24H2 / 10.0.26100 x64 driver layout). Use backend='vantor' "
        "(cross-platform per-lookup) or 'usp10' (single-stage).");

  if (s.native_run) {
    bool match = c.last_run && std::equal(c.last_run->begin(), c.last_run->end(), shaped.begin(), shaped.end());
    std::string last_run = c.last_run ? "Some(" + glyph_list(*c.last_run) + ")" : "None";
    write_report_line("[nativerun] apps=" + std::to_string(c.apps) + "\n");
    write_report_line("[nativerun] last_run=" + last_run + " shaped_final=" + glyph_list(shaped) +
                      " match=" + boolean(match) + "\n");
    if (run.native && !match)
      return fail(
          "TextShaping native trace cross-check failed: no OT application was captured, or the "
          "captured final run differs from the engine's shaped output (this TextShaping.dll build "
          "is outside the validated set: Win11 24H2 / 10.0.26100 x64). Use backend='vantor' or "
          "'usp10'.");
  }
  if (s.glyph) {
    write_report_line("[glyph] fires=" + std::to_string(c.glyph_fires) + " cap=" + std::to_string(capacity) + "\n");
    write_report_line("[glyph] distinct_states=" + std::to_string(c.distinct_states) + "\n");
  }
  if (s.ret || (s.ts_ret && s.ts_probe)) {
    write_report_line("[ret] fires=" + std::to_string(c.ret_fires) + " base=" + hex(c.ret_base) + "\n");
    for (const auto &[key, hit] : c.ret_hits)
      write_report_line("[ret] h=" + hex(key.first) + " c=" + hex(key.second) + " x" +
                        std::to_string(hit.count) + " m=" + hit.m + "\n");
    if (c.ret_modbase != 0) write_report_line("[ret] modbase=" + hex(c.ret_modbase) + "\n");
  }
  if (s.worker)
    write_report_line("[worker] events=" + std::to_string(c.worker_events) +
                      " gdi32full_base=" + hex(c.gdi32full_base) + "\n");
  if (s.callee || s.ts_probe) {
    write_report_line(std::string("[callee] fires (ts_probe=") + boolean(s.ts_probe) + "):\n");
    for (const auto &[callee, count] : c.callee_hits)
      write_report_line("[callee]   " + hex(callee) + " x" + std::to_string(count) + "\n");
  }
  return std::monostate{};
}

}  // namespace tesvo
