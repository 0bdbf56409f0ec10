// The port's per-lookup trace read back after each item: stage names, kinds,
// glyphs and positions, and their entries in the result document.
#include "lib/trace.h"

#include <cstring>
#include <optional>

#include "lib/run.h"
#include "lib/utf.h"

namespace tesvo {

namespace {
constexpr int kNameCapacity = 64;

StageKind stage_kind(int kind) {
  switch (kind) {
    case USP_TRACE_KIND_CMAP:
      return StageKind::cmap;
    case USP_TRACE_KIND_REORDER:
      return StageKind::reorder;
    case USP_TRACE_KIND_SUBSTITUTE:
      return StageKind::substitute;
    case USP_TRACE_KIND_POSITION:
      return StageKind::position;
    case USP_TRACE_KIND_FINAL:
      return StageKind::final;
    default:
      return StageKind::other;
  }
}

// The stage of index i with its clusters and positions, when the port gives it.
std::optional<TraceStage> read_full_stage(const Usp10 &usp, int i, const std::string &name) {
  if (usp.trace_stage_glyphs == nullptr) return std::nullopt;
  USP_TRACE_STAGE_GLYPHS stage{0, 0, nullptr};
  if (usp.trace_stage_glyphs(i, &stage) != 0 || stage.glyph_count <= 0 || stage.glyphs == nullptr)
    return std::nullopt;
  TraceStage out{stage_kind(stage.kind), name, {}};
  const bool positioned = out.positioned();
  out.glyphs.reserve(static_cast<std::size_t>(stage.glyph_count));
  for (int k = 0; k < stage.glyph_count; ++k) {
    const USP_TRACE_GLYPH &g = stage.glyphs[k];
    out.glyphs.push_back(positioned ? TraceGlyph{g.glyph, g.cluster, g.advance, g.x_offset, g.y_offset}
                                    : TraceGlyph{g.glyph, g.cluster});
  }
  return out;
}
}  // namespace

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
    std::size_t name_size = strnlen(name, kNameCapacity);
    std::string stage_name = utf8_lossy(std::string_view(name, name_size));
    std::optional<TraceStage> full = read_full_stage(usp, i, stage_name);
    // The document's trace lists the glyph sequence step by step; positioning
    // changes no glyph, so its stages stay out of it.
    const bool positions_only = full && full->kind == StageKind::position;
    if (full) run.item_stages.push_back(std::move(*full));
    if (positions_only || glyph_count <= 0 || glyphs == nullptr) continue;
    run.lookup_stages.push_back(
        StagePair{std::move(stage_name), std::vector<std::uint16_t>(glyphs, glyphs + glyph_count)});
  }
  usp.trace_stop();
  return std::monostate{};
}

std::string_view stage_kind_name(StageKind kind) {
  switch (kind) {
    case StageKind::cmap:
      return "cmap";
    case StageKind::reorder:
      return "reorder";
    case StageKind::substitute:
      return "substitute";
    case StageKind::position:
      return "position";
    case StageKind::final:
      return "final";
    case StageKind::other:
      break;
  }
  return "other";
}

void keep_item_trace(ShapeRun &run, const TracedItem &item) {
  std::vector<TraceStage> stages = std::move(run.item_stages);
  run.item_stages.clear();
  if (!run.trace || stages.empty()) return;
  for (TraceStage &stage : stages) {
    for (TraceGlyph &glyph : stage.glyphs) glyph.cluster += item.start;
  }
  run.item_traces.push_back(
      ItemTrace{item.index, item.start, item.start + item.chars, item.rtl, std::move(stages)});
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
