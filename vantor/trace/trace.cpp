// Recording the shaping trace: HarfBuzz's messages turned into stages, the
// nominal and final stages, and the limits on what is traced.
#include "trace.h"

#include <hb-ot.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "hb_handles.h"
#include "trace_reader.h"
#include "utf16.h"

namespace vantor {
namespace {

// True when the traced shaping ended with the glyphs of the untraced one
// (held in logical order, reversed for a right-to-left item).
bool same_glyphs(hb_buffer_t *buffer, const std::vector<hb_codepoint_t> &glyphs, bool reversed) {
  unsigned count = 0;
  const hb_glyph_info_t *infos = hb_buffer_get_glyph_infos(buffer, &count);
  if (count != glyphs.size()) return false;
  for (unsigned i = 0; i < count; ++i) {
    if (infos[i].codepoint != glyphs[reversed ? count - 1 - i : i]) return false;
  }
  return true;
}

// Tracing makes HarfBuzz bring its output and input together at every
// message, so a run that reaches HarfBuzz's length limits stops at another
// point than without messages, and the stages would not lead to the result.
std::string diverged(std::size_t traced, std::size_t glyphs) {
  return "cannot trace this text: HarfBuzz shapes it differently while tracing (" +
         std::to_string(traced) + " glyphs instead of " + std::to_string(glyphs) +
         "), as it does when the run reaches its length limits; shape it without trace";
}

std::string too_costly(std::size_t glyphs) {
  return "cannot trace this text: HarfBuzz's tracing copies the rest of the run at every glyph a "
         "lookup multiplies, ligates or deletes, and on this run (" +
         std::to_string(glyphs) + " glyphs after shaping) that would take more than " +
         std::to_string(TraceReader::kCopyBudget) +
         " glyph copies; shape it without trace or trace a shorter text";
}

std::string too_large(std::size_t budget, std::size_t glyphs) {
  return "cannot trace this text: the glyph runs recorded after each step would hold more "
         "than " +
         std::to_string(budget) + " glyphs in all (the shaped run has " + std::to_string(glyphs) +
         "); shape it without trace or trace a shorter text";
}

constexpr const char *kOutOfMemory = "cannot trace this text: out of memory while recording its stages";

// A trace whose messages do not fit the vocabulary, or whose stages do not
// lead to the result. Named after the HarfBuzz actually loaded: that is the
// one whose messages were read.
std::string unreadable(const std::string &why) {
  return std::string("cannot trace this text: the trace of HarfBuzz ") + hb_version_string() +
         " cannot be read (" + why +
         "); this tracer reads the messages of HarfBuzz 6.0.0 to 15.0; shape it without trace";
}

// The GSUB and the GPOS lookups of HarfBuzz's plan for the request: the plan
// hb_shape_full used, from the face's cache.
PlannedLookups planned_lookups(const FontFace &font, const ShapeRequest &request, hb_buffer_t *buffer) {
  hb_segment_properties_t properties;
  hb_buffer_get_segment_properties(buffer, &properties);
  unsigned coord_count = 0;
  const int *coords = hb_font_get_var_coords_normalized(font.font(), &coord_count);
  const ShapePlanPtr plan(hb_shape_plan_create_cached2(
      font.face(), &properties, request.features.data(), static_cast<unsigned>(request.features.size()),
      coords, coord_count, nullptr));
  PlannedLookups planned;
  for (const hb_tag_t table : {HB_OT_TAG_GSUB, HB_OT_TAG_GPOS}) {
    const SetPtr lookups(hb_set_create());
    hb_ot_shape_plan_collect_lookups(plan.get(), table, lookups.get());
    (table == HB_OT_TAG_GSUB ? planned.gsub : planned.gpos) = hb_set_get_population(lookups.get());
  }
  return planned;
}

// True when the last stage recorded leads to the result: the same glyphs
// in the same clusters, but for what HarfBuzz does after its last message.
// It hides default-ignorable characters (replacing their glyphs by the space
// glyph, or removing them when the font has none) and removes the glyphs
// AAT deleted (0xFFFF). The order of the glyphs inside a cluster is left
// aside: in an item HarfBuzz shapes against its script's direction, the
// result and the stages turn such clusters around differently.
bool leads_to_result(const std::vector<USP_TRACE_GLYPH> &from, const ShapedRun &run, const FontFace &font,
                     std::u16string_view text) {
  const auto same = [&](std::size_t k) {
    return from[k].glyph == run.glyphs[k] && from[k].cluster == run.clusters[k];
  };
  std::size_t k = 0;
  while (k < from.size() && k < run.glyphs.size() && same(k)) ++k;
  if (k == from.size() && k == run.glyphs.size()) return true;

  constexpr hb_codepoint_t kDeleted = 0xFFFF;
  hb_codepoint_t space = 0;
  if (!hb_font_get_nominal_glyph(font.font(), ' ', &space)) space = kDeleted;
  std::size_t hidden = 0;
  for (const char32_t c : decode_utf16(text).chars) {
    if (u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) ++hidden;
  }
  const auto removable = [&](hb_codepoint_t glyph) {
    if (glyph == kDeleted) return true;
    if (hidden == 0) return false;
    --hidden;
    return true;
  };
  // Cluster by cluster: the recorded glyphs, less those the result holds,
  // are hidden or removed.
  std::size_t i = 0;
  k = 0;
  std::vector<hb_codepoint_t> had, got;
  while (i < from.size()) {
    const std::uint32_t cluster = from[i].cluster;
    had.clear();
    got.clear();
    for (; i < from.size() && from[i].cluster == cluster; ++i) had.push_back(from[i].glyph);
    for (; k < run.glyphs.size() && run.clusters[k] == cluster; ++k) got.push_back(run.glyphs[k]);
    std::sort(had.begin(), had.end());
    std::sort(got.begin(), got.end());
    std::size_t replaced = 0, left = 0, h = 0;
    for (const hb_codepoint_t glyph : got) {
      while (h < had.size() && had[h] < glyph) {
        if (!removable(had[h++])) return false;
        ++left;
      }
      if (h < had.size() && had[h] == glyph) {
        ++h;
      } else if (glyph == space) {
        ++replaced;
      } else {
        return false;
      }
    }
    for (; h < had.size(); ++h, ++left) {
      if (!removable(had[h])) return false;
    }
    if (replaced > left) return false;
  }
  return k == run.glyphs.size();
}

// The cmap result computed directly, for a shaping that never entered GSUB.
std::vector<USP_TRACE_GLYPH> nominal_glyphs(const FontFace &font, std::u16string_view text) {
  const CodePoints decoded = decode_utf16(text);
  std::vector<USP_TRACE_GLYPH> glyphs;
  glyphs.reserve(decoded.chars.size());
  for (std::size_t i = 0; i < decoded.chars.size(); ++i) {
    hb_codepoint_t glyph = 0;
    if (!hb_font_get_nominal_glyph(font.font(), decoded.chars[i], &glyph)) glyph = 0;
    glyphs.push_back(USP_TRACE_GLYPH{glyph, static_cast<DWORD>(decoded.offsets[i]), 0, 0, 0});
  }
  return glyphs;
}

std::vector<USP_TRACE_GLYPH> final_glyphs(const ShapedRun &run) {
  std::vector<USP_TRACE_GLYPH> glyphs;
  glyphs.reserve(run.glyphs.size());
  for (std::size_t k = 0; k < run.glyphs.size(); ++k) {
    const hb_glyph_position_t &position = run.positions[k];
    glyphs.push_back(USP_TRACE_GLYPH{run.glyphs[k], run.clusters[k], position.x_advance, position.x_offset,
                                     position.y_offset});
  }
  return glyphs;
}

bool same_glyph(const USP_TRACE_GLYPH &a, const USP_TRACE_GLYPH &b) {
  return a.glyph == b.glyph && a.cluster == b.cluster && a.advance == b.advance && a.x_offset == b.x_offset &&
         a.y_offset == b.y_offset;
}

bool positions(int kind) { return kind == USP_TRACE_KIND_POSITION || kind == USP_TRACE_KIND_FINAL; }

constexpr int kNoStage = -1;  // the kind of the stage before the first of an item

// The change from `before`, a stage of kind `before_kind`, to `after`: the
// glyphs both begin with and, of the rest, those both end with are left out.
// A stage that positions and one that does not share no glyph: a glyph of one
// has no positions, of the other has them.
TraceStage change_between(std::string name, int kind, const std::vector<USP_TRACE_GLYPH> &before, int before_kind,
                          const std::vector<USP_TRACE_GLYPH> &after) {
  std::size_t head = 0, tail = 0;
  if (before_kind != kNoStage && positions(before_kind) == positions(kind)) {
    const std::size_t shorter = std::min(before.size(), after.size());
    while (head < shorter && same_glyph(before[head], after[head])) ++head;
    while (tail < shorter - head && same_glyph(before[before.size() - 1 - tail], after[after.size() - 1 - tail]))
      ++tail;
  }
  TraceStage stage{std::move(name), kind, before_kind == kNoStage, after.size(), head, before.size() - tail, {}, {}};
  stage.glyphs.assign(after.begin() + static_cast<std::ptrdiff_t>(head),
                      after.end() - static_cast<std::ptrdiff_t>(tail));
  return stage;
}

}  // namespace

void apply_change(const TraceStage &stage, std::vector<USP_TRACE_GLYPH> &glyphs) {
  if (stage.first) glyphs.clear();
  const auto at = glyphs.begin() + static_cast<std::ptrdiff_t>(stage.start);
  const std::size_t replaced = stage.stop - stage.start;
  const std::size_t shared = std::min(replaced, stage.glyphs.size());
  std::copy_n(stage.glyphs.begin(), shared, at);
  if (replaced > shared) {
    glyphs.erase(at + static_cast<std::ptrdiff_t>(shared), at + static_cast<std::ptrdiff_t>(replaced));
  } else {
    glyphs.insert(at + static_cast<std::ptrdiff_t>(shared), stage.glyphs.begin() + static_cast<std::ptrdiff_t>(shared),
                  stage.glyphs.end());
  }
}

void StageLog::take(std::string name, int kind, std::vector<USP_TRACE_GLYPH> &whole,
                    std::vector<std::uint16_t> nested) {
  const int before_kind = stages_.empty() ? kNoStage : stages_.back().kind;
  stages_.push_back(change_between(std::move(name), kind, last_, before_kind, whole));
  stages_.back().nested = std::move(nested);
  last_.swap(whole);
  whole.clear();
}

void StageLog::insert(std::size_t at, std::string name, int kind, std::vector<USP_TRACE_GLYPH> &&whole) {
  if (at >= stages_.size()) return take(std::move(name), kind, whole);
  std::vector<USP_TRACE_GLYPH> before;
  for (std::size_t k = 0; k < at; ++k) apply_change(stages_[k], before);
  std::vector<USP_TRACE_GLYPH> next = before;
  apply_change(stages_[at], next);
  TraceStage &moved = stages_[at];
  std::vector<std::uint16_t> nested = std::move(moved.nested);
  moved = change_between(std::move(moved.name), moved.kind, whole, kind, next);
  moved.nested = std::move(nested);
  const int before_kind = at == 0 ? kNoStage : stages_[at - 1].kind;
  stages_.insert(stages_.begin() + static_cast<std::ptrdiff_t>(at),
                 change_between(std::move(name), kind, before, before_kind, whole));
}

void StageLog::clear() {
  stages_.clear();
  last_.clear();
}

void TraceRecorder::append(std::vector<TraceStage> stages) {
  for (TraceStage &stage : stages) stages_.push_back(std::move(stage));
  wholes_.resize(stages_.size());
}

const TraceStage *TraceRecorder::stage(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return &stages_[static_cast<std::size_t>(index)];
}

const TraceRecorder::WholeStage *TraceRecorder::whole(int index) {
  if (index < 0 || index >= count()) return nullptr;
  const auto at = static_cast<std::size_t>(index);
  if (wholes_[at]) return wholes_[at].get();
  // Back to the first stage of the item, or to a stage rebuilt before.
  std::size_t from = at;
  while (from > 0 && !stages_[from].first && !wholes_[from - 1]) --from;
  auto made = std::make_unique<WholeStage>();
  if (from > 0 && !stages_[from].first) made->glyphs = wholes_[from - 1]->glyphs;
  for (std::size_t k = from; k <= at; ++k) apply_change(stages_[k], made->glyphs);
  made->ids.reserve(made->glyphs.size());
  for (const USP_TRACE_GLYPH &g : made->glyphs) made->ids.push_back(static_cast<std::uint16_t>(g.glyph));
  wholes_[at] = std::move(made);
  return wholes_[at].get();
}

void TraceRecorder::refuse(std::string reason) {
  drop();
  refusal_ = std::move(reason);
}

void TraceRecorder::refuse_out_of_memory() noexcept {
  drop();
  refusal_.clear();
  out_of_memory_ = true;
}

void TraceRecorder::drop() {
  stages_.clear();
  wholes_.clear();
}

std::string_view TraceRecorder::refusal() const {
  return out_of_memory_ ? std::string_view(kOutOfMemory) : std::string_view(refusal_);
}

std::size_t trace_glyph_budget(std::size_t item_chars) {
  constexpr std::size_t kLeast = std::size_t{1} << 20;
  constexpr std::size_t kStagesOfText = 256;
  return item_chars > kLeast / kStagesOfText ? item_chars * kStagesOfText : kLeast;
}

// The HarfBuzz the library runs with, when it is not the one it was built
// against: a process that loaded another HarfBuzz globally before the library
// was opened without RTLD_DEEPBIND binds the library's hb_* calls to that copy,
// whose messages and limits the checks here were not made for.
static std::optional<std::string> foreign_harfbuzz() {
  const std::string_view running = hb_version_string();
  if (running == HB_VERSION_STRING) return std::nullopt;
  return "cannot trace: libvantor was built against HarfBuzz " HB_VERSION_STRING " but runs with HarfBuzz " +
         std::string(running) +
         ", another copy loaded into the process's global scope (open libvantor with RTLD_DEEPBIND, as tesvo "
         "does, or before that copy); shape it without trace";
}

ItemTrace trace_lookups(const FontFace &font, const ShapeRequest &request, const ShapedRun &final_run) {
  if (auto foreign = foreign_harfbuzz()) return {{}, std::move(*foreign)};
  if (const auto &hazard = font.trace_hazard()) {
    return {{}, "cannot trace with this font: " + *hazard + "; shape it without trace"};
  }
  const std::size_t budget = trace_glyph_budget(request.text.size());
  const std::size_t glyphs = final_run.glyphs.size();
  TraceReader reader(request.direction, budget > glyphs ? budget - glyphs : 0);
  const BufferPtr buffer = make_buffer(request);
  hb_buffer_set_message_func(buffer.get(), &TraceReader::on_message, &reader, nullptr);
  shape_buffer(font, request, buffer.get());
  hb_buffer_set_message_func(buffer.get(), nullptr, nullptr, nullptr);
  if (reader.over_copy_budget()) return {{}, too_costly(glyphs)};
  if (reader.over_glyph_budget()) return {{}, too_large(budget, glyphs)};
  if (reader.out_of_memory()) return {{}, kOutOfMemory};
  if (!same_glyphs(buffer.get(), final_run.glyphs, request.direction == HB_DIRECTION_RTL))
    return {{}, diverged(hb_buffer_get_length(buffer.get()), glyphs)};
  StageLog stages = reader.take_log();
  const bool none_announced = reader.substitutions_announced() == 0 ||
                             (reader.saw_gpos() && reader.positionings_announced() == 0);
  const PlannedLookups planned =
      none_announced ? planned_lookups(font, request, buffer.get()) : PlannedLookups{};
  if (auto why = unreadable_trace(reader, stages, planned, final_run, font, request.text)) {
    return {{}, std::move(*why)};
  }
  if (!reader.saw_substitution()) {
    const std::vector<TraceStage> &taken = stages.stages();
    const auto first = std::find_if(taken.begin(), taken.end(), [](const TraceStage &stage) {
      return stage.kind != USP_TRACE_KIND_NORMALIZE;
    });
    stages.insert(static_cast<std::size_t>(first - taken.begin()), "cmap", USP_TRACE_KIND_CMAP,
                  nominal_glyphs(font, request.text));
  }
  std::vector<USP_TRACE_GLYPH> final_stage = final_glyphs(final_run);
  stages.take("final", USP_TRACE_KIND_FINAL, final_stage);
  return {stages.take_stages(), {}};
}

std::optional<std::string> unreadable_trace(const TraceReader &reader, const StageLog &stages,
                                            PlannedLookups planned, const ShapedRun &final_run,
                                            const FontFace &font, std::u16string_view text) {
  if (!reader.misread().empty()) return unreadable(reader.misread());
  // HarfBuzz always applies GSUB when the font has it (AAT's morx instead,
  // announced the same way), and GPOS when it announced the table.
  const auto none = [](std::size_t count, std::string_view table) {
    return unreadable("the font has " + std::to_string(count) + " " + std::string(table) +
                      " lookups for this text and HarfBuzz announced none");
  };
  if (planned.gsub > 0 && reader.substitutions_announced() == 0) return none(planned.gsub, "GSUB");
  if (planned.gpos > 0 && reader.saw_gpos() && reader.positionings_announced() == 0) {
    return none(planned.gpos, "GPOS");
  }
  if (stages.empty()) return std::nullopt;
  const TraceStage &last = stages.stages().back();
  if (last.kind != USP_TRACE_KIND_NORMALIZE && !leads_to_result(stages.last(), final_run, font, text)) {
    return unreadable("the last step recorded, \"" + last.name + "\", does not end with the shaped glyphs");
  }
  return std::nullopt;
}

}  // namespace vantor
