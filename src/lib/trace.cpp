#include "lib/trace.h"

#include <cstring>

#include "lib/run.h"
#include "lib/utf.h"

namespace tesvo {

namespace {
constexpr int kNameCapacity = 64;
}

void begin_trace(const ShapeRun &run) {
  if (run.trace && run.usp.trace_begin != nullptr) run.usp.trace_begin();
}

// The port's reason for not tracing the item, empty when it traced it.
std::string trace_refusal(const Usp10 &usp) {
  if (usp.trace_refusal == nullptr) return {};
  const int length = usp.trace_refusal(nullptr, 0);
  if (length <= 0) return {};
  std::string reason(static_cast<std::size_t>(length) + 1, '\0');
  usp.trace_refusal(reason.data(), length + 1);
  reason.resize(strnlen(reason.data(), reason.size()));
  return utf8_lossy(reason);
}

Result<std::monostate> read_back_stages(ShapeRun &run) {
  const Usp10 &usp = run.usp;
  if (!run.trace || usp.trace_count == nullptr || usp.trace_stage == nullptr || usp.trace_stop == nullptr)
    return std::monostate{};
  if (std::string reason = trace_refusal(usp); !reason.empty()) {
    usp.trace_stop();
    return fail(std::move(reason));
  }
  int count = usp.trace_count();
  for (int i = 0; i < count; ++i) {
    char name[kNameCapacity] = {};
    int glyph_count = 0;
    const std::uint16_t *glyphs = nullptr;
    if (usp.trace_stage(i, name, kNameCapacity, &glyph_count, &glyphs) != 0) continue;
    if (glyph_count <= 0 || glyphs == nullptr) continue;
    std::size_t name_size = strnlen(name, kNameCapacity);
    run.lookup_stages.push_back(StagePair{utf8_lossy(std::string_view(name, name_size)),
                                          std::vector<std::uint16_t>(glyphs, glyphs + glyph_count)});
  }
  usp.trace_stop();
  return std::monostate{};
}

bool append_stage_entries(ShapeRun &run, const TracedItem &item, Value &stages, Value &messages) {
  std::vector<StagePair> taken = std::move(run.native_trace ? run.native_stages : run.lookup_stages);
  run.lookup_stages.clear();
  run.native_stages.clear();
  if (!run.trace || taken.empty()) return false;

  const char *kind = run.native_trace ? "textshaping" : "vantor lookup";
  std::string line = run.native_trace ? "textshaping native trace: " + std::to_string(taken.size()) +
                                            " stages (per OT application)"
                                      : "vantor per-lookup trace: " + std::to_string(taken.size()) +
                                            " stages (cmap + GSUB lookups + final)";
  messages.push(Value::string(line));
  for (const StagePair &stage : taken) {
    std::string m = std::string(kind) + " " + stage.name + " (item " + std::to_string(item.index) + ")";
    stages.push(stage_entry(m, stage_glyphs(stage.glyphs, item.records, item.chars, item.rtl, item.start)));
  }
  return true;
}

}  // namespace tesvo
