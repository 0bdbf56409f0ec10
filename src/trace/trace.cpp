// The port's per-lookup trace read back after each item: stage names, kinds,
// and each stage as the change it made to the one before (read as such from a
// port that gives changes, made here from one that gives whole stages), and
// their entries in the result document.
#include "trace/trace.h"

#include <cstring>
#include <optional>

#include "text/utf.h"

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
    case USP_TRACE_KIND_NORMALIZE:
      return StageKind::normalize;
    default:
      return StageKind::other;
  }
}

TraceGlyph trace_glyph(const USP_TRACE_GLYPH &g, bool positioned) {
  return positioned ? TraceGlyph{g.glyph, g.cluster, g.advance, g.x_offset, g.y_offset} : TraceGlyph{g.glyph, g.cluster};
}

// The stage of index i with its clusters and positions, when the port gives it.
std::optional<std::vector<TraceGlyph>> read_whole_stage(const Usp10 &usp, int i, StageKind *kind) {
  if (usp.trace_stage_glyphs == nullptr) return std::nullopt;
  USP_TRACE_STAGE_GLYPHS stage{0, 0, nullptr};
  if (usp.trace_stage_glyphs(i, &stage) != 0 || stage.glyph_count <= 0 || stage.glyphs == nullptr)
    return std::nullopt;
  *kind = stage_kind(stage.kind);
  const bool positioned = positions(*kind);
  std::vector<TraceGlyph> glyphs;
  glyphs.reserve(static_cast<std::size_t>(stage.glyph_count));
  for (int k = 0; k < stage.glyph_count; ++k) glyphs.push_back(trace_glyph(stage.glyphs[k], positioned));
  return glyphs;
}

// A stage's name as the document and the records give it: at most `longest`
// bytes, up to a NUL, decoded lossily. A name from the port's change read-out
// is cut as usp_trace_stage cuts it into its buffer (to kNameCapacity - 1).
std::string stage_name(const char *name, std::size_t longest) {
  if (name == nullptr) return {};
  return utf8_lossy(std::string_view(name, strnlen(name, longest)));
}

// The stages of a port that gives their names and glyph ids alone (and, from
// usp_trace_stage_glyphs, whole stages, made into changes here).
void read_whole_stages(const Usp10 &usp, TraceState &run) {
  const int count = usp.trace_count();
  std::vector<TraceGlyph> before;
  std::optional<StageKind> before_kind;
  for (int i = 0; i < count; ++i) {
    char name[kNameCapacity] = {};
    int glyph_count = 0;
    const std::uint16_t *glyphs = nullptr;
    if (usp.trace_stage(i, name, kNameCapacity, &glyph_count, &glyphs) != 0) continue;
    std::string named = stage_name(name, kNameCapacity);
    StageKind kind = StageKind::other;
    std::optional<std::vector<TraceGlyph>> whole = read_whole_stage(usp, i, &kind);
    // The document's trace lists the glyph sequence step by step from the
    // cmap on; positioning changes no glyph, and normalization comes before
    // the cmap, so their stages stay out of it.
    const bool left_out = whole && (kind == StageKind::position || kind == StageKind::normalize);
    if (whole) {
      run.item_stages.push_back(stage_change(kind, named, before, before_kind, *whole));
      before = std::move(*whole);
      before_kind = kind;
    }
    if (left_out || glyph_count <= 0 || glyphs == nullptr) continue;
    run.lookup_stages.push_back(StagePair{std::move(named), std::vector<std::uint16_t>(glyphs, glyphs + glyph_count)});
  }
}

// Throws when the port's change of stage `index` does not follow from the
// stage before it, of `base` glyphs (0 for none) and kind `before`: the port
// broke its contract.
void check_change(const USP_TRACE_STAGE_CHANGE &change, int index, std::size_t base, StageKind before) {
  const bool follows = change.start >= 0 && change.start <= change.stop &&
                       static_cast<std::size_t>(change.stop) <= base && change.changed_count >= 0 &&
                       (change.changed_count == 0 || change.glyphs != nullptr) &&
                       static_cast<std::size_t>(change.glyph_count) ==
                           base - static_cast<std::size_t>(change.stop - change.start) +
                               static_cast<std::size_t>(change.changed_count);
  if (!follows) throw EnginePanic("backend's trace stage " + std::to_string(index) + " changes glyphs it does not have");
  // A glyph kept from a stage that positions into one that does not (or the
  // other way) would take the other's positions.
  const bool whole = change.start == 0 && static_cast<std::size_t>(change.stop) == base;
  if (base > 0 && positions(stage_kind(change.kind)) != positions(before) && !whole)
    throw EnginePanic("backend's trace stage " + std::to_string(index) +
                      " keeps glyphs of a stage that positions otherwise");
}

// The lookups stage `index` called, from a port that tells them.
std::vector<std::uint16_t> stage_nested(const Usp10 &usp, int index) {
  if (usp.trace_stage_nested == nullptr) return {};
  const std::uint16_t *lookups = nullptr;
  const int count = usp.trace_stage_nested(index, &lookups);
  if (count <= 0) return {};
  if (lookups == nullptr) throw EnginePanic("backend's trace stage " + std::to_string(index) + " calls lookups it does not give");
  return std::vector<std::uint16_t>(lookups, lookups + count);
}

// The stages of a port that gives each as its change. A stage without glyphs
// is left out, as from the whole read-out: the next one then replaces all
// the glyphs of the stage kept before it.
void read_stage_changes(const Usp10 &usp, TraceState &run) {
  const int count = usp.trace_count();
  std::size_t port_before = 0;  // the glyphs of the port's stage before
  StageKind port_kind = StageKind::other;  // its kind
  std::size_t kept_before = 0;  // and the glyphs of the stage kept before
  for (int i = 0; i < count; ++i) {
    USP_TRACE_STAGE_CHANGE change{};
    if (usp.trace_stage_change(i, &change) != 0)
      throw EnginePanic("backend could not give stage " + std::to_string(i) + " of the " + std::to_string(count) +
                        " it recorded");
    const std::size_t base = change.first != 0 ? 0 : port_before;
    check_change(change, i, base, port_kind);
    const StageKind kind = stage_kind(change.kind);
    port_before = static_cast<std::size_t>(change.glyph_count);
    port_kind = kind;
    if (change.glyph_count == 0) continue;
    TraceStage stage{kind, stage_name(change.name, kNameCapacity - 1), port_before,
                     static_cast<std::size_t>(change.start), static_cast<std::size_t>(change.stop), {}};
    if (base == 0) stage.stop = kept_before;  // replacing everything kept before
    stage.glyphs.reserve(static_cast<std::size_t>(change.changed_count));
    for (int k = 0; k < change.changed_count; ++k)
      stage.glyphs.push_back(trace_glyph(change.glyphs[k], stage.positioned()));
    stage.nested = stage_nested(usp, i);
    kept_before = port_before;
    run.item_stages.push_back(std::move(stage));
  }
  run.stages_as_changes = true;
}

// The ids of the stages the document lists, rebuilt from their changes.
std::vector<StagePair> lookup_stages_from(const std::vector<TraceStage> &stages) {
  std::vector<StagePair> out;
  StageReplay replay;
  for (const TraceStage &stage : stages) {
    const std::vector<TraceGlyph> &whole = replay.apply(stage);
    if (stage.kind == StageKind::position || stage.kind == StageKind::normalize) continue;
    StagePair pair{stage.name, {}};
    pair.glyphs.reserve(whole.size());
    for (const TraceGlyph &g : whole) pair.glyphs.push_back(static_cast<std::uint16_t>(g.id));
    out.push_back(std::move(pair));
  }
  return out;
}
}  // namespace

const std::vector<TraceGlyph> &StageReplay::apply(const TraceStage &stage) {
  const auto at = glyphs_.begin() + static_cast<std::ptrdiff_t>(stage.start);
  glyphs_.erase(at, glyphs_.begin() + static_cast<std::ptrdiff_t>(stage.stop));
  glyphs_.insert(glyphs_.begin() + static_cast<std::ptrdiff_t>(stage.start), stage.glyphs.begin(), stage.glyphs.end());
  return glyphs_;
}

TraceStage stage_change(StageKind kind, std::string name, std::span<const TraceGlyph> before,
                        std::optional<StageKind> before_kind, std::span<const TraceGlyph> after) {
  const bool shares = before_kind && positions(*before_kind) == positions(kind);
  const auto [head, tail] = shares ? common_ends(before, after) : std::pair<std::size_t, std::size_t>(0, 0);
  return TraceStage{kind, std::move(name), after.size(), head, before.size() - tail,
                    std::vector<TraceGlyph>(after.begin() + static_cast<std::ptrdiff_t>(head),
                                            after.end() - static_cast<std::ptrdiff_t>(tail))};
}

void begin_trace(const Usp10 &usp, const TraceState &trace) {
  if (trace.on && usp.trace_begin != nullptr) usp.trace_begin();
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

Result<std::monostate> read_back_stages(const Usp10 &usp, TraceState &run) {
  run.stages_as_changes = false;
  if (!run.on || usp.trace_count == nullptr || usp.trace_stage == nullptr || usp.trace_stop == nullptr)
    return std::monostate{};
  if (std::string reason = trace_refusal(usp); !reason.empty()) {
    usp.trace_stop();
    return fail(std::move(reason));
  }
  if (usp.trace_stage_change != nullptr)
    read_stage_changes(usp, run);
  else
    read_whole_stages(usp, run);
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
    case StageKind::normalize:
      return "normalize";
    case StageKind::other:
      break;
  }
  return "other";
}

// The document lists stages by their whole glyph ids: from a port that gave
// changes, they are rebuilt before the changes leave the run.
void rebuild_lookup_stages(TraceState &run) {
  if (!run.stages_as_changes) return;
  run.stages_as_changes = false;
  run.lookup_stages = lookup_stages_from(run.item_stages);
}

void keep_item_trace(TraceState &run, const TracedItem &item) {
  rebuild_lookup_stages(run);
  std::vector<TraceStage> stages = std::move(run.item_stages);
  run.item_stages.clear();
  if (!run.on || stages.empty()) return;
  for (TraceStage &stage : stages) {
    for (TraceGlyph &glyph : stage.glyphs) glyph.cluster += item.start;
  }
  run.item_traces.push_back(
      ItemTrace{item.index, item.start, item.start + item.chars, item.rtl, std::move(stages)});
}

bool append_stage_entries(TraceState &run, const TracedItem &item, Value &stages, Value &messages) {
  rebuild_lookup_stages(run);
  std::vector<StagePair> taken = std::move(run.native ? run.native_stages : run.lookup_stages);
  run.lookup_stages.clear();
  run.native_stages.clear();
  if (!run.on || taken.empty()) return false;

  const char *kind = run.native ? "textshaping" : "vantor lookup";
  std::string line = run.native ? "textshaping native trace: " + std::to_string(taken.size()) +
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
