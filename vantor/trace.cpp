// Recording the shaping trace: HarfBuzz's messages turned into stages, the
// nominal and final stages, and the limits on what is traced.
#include "trace.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstddef>
#include <numeric>
#include <string>
#include <string_view>
#include <utility>

#include "utf16.h"

namespace vantor {
namespace {

using namespace std::string_view_literals;

// Where in the shaping a message comes from: the lookups of GSUB and GPOS
// are announced with the same words.
enum class Table { none, gsub, gpos };

// Follows HarfBuzz 6.0.0's buffer messages during one shaping:
// - "start table GSUB" / "end table GSUB" around substitution, the cmap
//   result at its start; inside it the shapers' reordering phases ("start
//   reordering indic initial" ... "end reordering indic initial", likewise
//   "indic final", "khmer", "myanmar", "USE") and the lookups;
// - "start table GPOS" / "end table GPOS" around the GPOS lookups;
// - per lookup "start lookup N feature 'tag'", "skipped lookup N ..." when no
//   glyph can match, always "end lookup N feature 'tag'", and messages from
//   inside the lookup, which are not stages;
// - "start table kern" / "end table kern", "start fallback mark" / "end
//   fallback mark", "start fallback kern" / "end fallback kern" for the other
//   ways of positioning (the kern machine's own "start kern" inside them is
//   not a stage of its own).
// A stage is taken at each end of a step that ran, and once, as positioning
// starts, the default positions the first positioning step starts from.
//
// Two bounds keep a hostile font from making the trace a burden: the glyphs
// the stages hold, and the glyphs HarfBuzz copies while it messages. Before
// each message about a glyph multiplied, ligated or deleted, HarfBuzz brings
// its output and input together, copying the rest of the run, so a lookup
// that multiplies every glyph of a long run costs the square of its length.
// Past either bound the tracer puts the buffer in HarfBuzz's error state,
// which ends the shaping quickly, and records nothing more.
class StepTracer {
 public:
  // Glyph copies the messages may cost: a few tenths of a second at most.
  static constexpr std::size_t kCopyBudget = std::size_t{1} << 26;

  StepTracer(hb_direction_t direction, std::size_t glyph_budget)
      : direction_(direction), glyphs_left_(glyph_budget) {}

  // Always answers true: false would make HarfBuzz skip the step it
  // announces and so change the shaping.
  static hb_bool_t on_message(hb_buffer_t *buffer, hb_font_t *, const char *message,
                              void *user_data) {
    auto *tracer = static_cast<StepTracer *>(user_data);
    try {
      tracer->handle(buffer, message);
    } catch (...) {
      tracer->failed_ = true;
    }
    return true;
  }

  bool failed() const { return failed_; }
  bool over_glyph_budget() const { return over_glyph_budget_; }
  bool over_copy_budget() const { return over_copy_budget_; }
  bool saw_gsub() const { return saw_gsub_; }
  std::vector<TraceStage> take_stages() { return std::move(stages_); }

 private:
  void handle(hb_buffer_t *buffer, std::string_view message) {
    if (over_glyph_budget_ || over_copy_budget_) return;
    if (message.starts_with("multiplying "sv) || message.starts_with("ligating "sv) ||
        message.starts_with("deleting "sv)) {
      const unsigned length = hb_buffer_get_length(buffer);
      if (length > copies_left_) {
        over_copy_budget_ = true;
        stop(buffer);
        return;
      }
      copies_left_ -= length;
      return;
    }
    if (handle_table(buffer, message)) return;
    if (table_ != Table::none) {
      handle_lookup(buffer, message);
      if (table_ == Table::gsub && message.starts_with("end reordering "sv)) {
        take(buffer, std::string(message.substr("end "sv.size())), USP_TRACE_KIND_REORDER);
      }
      return;
    }
    handle_other_positioning(buffer, message);
  }

  bool handle_table(hb_buffer_t *buffer, std::string_view message) {
    if (message == "start table GSUB"sv) {
      table_ = Table::gsub;
      saw_gsub_ = true;
      take(buffer, "cmap", USP_TRACE_KIND_CMAP);
    } else if (message == "start table GPOS"sv) {
      table_ = Table::gpos;
      start_positioning(buffer);
    } else if (message == "end table GSUB"sv || message == "end table GPOS"sv) {
      table_ = Table::none;
    } else {
      return false;
    }
    return true;
  }

  void handle_lookup(hb_buffer_t *buffer, std::string_view message) {
    if (message.starts_with("start lookup "sv)) {
      skipped_ = false;
    } else if (message.starts_with("skipped lookup "sv)) {
      skipped_ = true;
    } else if (message.starts_with("end lookup "sv)) {
      if (!skipped_) {
        const bool gsub = table_ == Table::gsub;
        take(buffer, lookup_name(gsub ? "GSUB"sv : "GPOS"sv, message),
             gsub ? USP_TRACE_KIND_SUBSTITUTE : USP_TRACE_KIND_POSITION);
      }
      skipped_ = false;
    }
  }

  void handle_other_positioning(hb_buffer_t *buffer, std::string_view message) {
    static constexpr std::pair<std::string_view, std::string_view> kSteps[] = {
        {"table kern"sv, "kern table"sv},
        {"fallback mark"sv, "fallback mark"sv},
        {"fallback kern"sv, "fallback kern"sv},
    };
    for (const auto &[step, name] : kSteps) {
      if (message.starts_with("start "sv) && message.substr("start "sv.size()) == step) {
        start_positioning(buffer);
      } else if (message.starts_with("end "sv) && message.substr("end "sv.size()) == step) {
        take(buffer, std::string(name), USP_TRACE_KIND_POSITION);
      }
    }
  }

  void start_positioning(hb_buffer_t *buffer) {
    if (positioning_started_) return;
    positioning_started_ = true;
    take(buffer, "default positions", USP_TRACE_KIND_POSITION);
  }

  // "end lookup 11 feature 'fina'" becomes "GSUB lookup 11 'fina'".
  static std::string lookup_name(std::string_view table, std::string_view message) {
    std::string_view rest = message.substr("end lookup "sv.size());
    unsigned index = 0;
    const auto parsed = std::from_chars(rest.data(), rest.data() + rest.size(), index);
    std::string name = std::string(table) + " lookup " + std::to_string(index);
    rest.remove_prefix(static_cast<std::size_t>(parsed.ptr - rest.data()));
    constexpr std::string_view kFeature = " feature '"sv;
    if (!rest.starts_with(kFeature) || rest.size() < kFeature.size() + 5) return name;
    std::string tag(rest.substr(kFeature.size(), 4));
    for (char &c : tag) {
      if (c < 0x20 || c > 0x7E) c = '?';
    }
    return name + " '" + tag + "'";
  }

  // The buffer's glyphs in logical order. HarfBuzz turns the buffer around
  // cluster by cluster (and flips its direction) when it shapes a script
  // against its natural direction; that is undone here. Positions are read
  // only once positioning has started: before that the buffer has none, and
  // asking for them would clear memory HarfBuzz is still using.
  void take(hb_buffer_t *buffer, std::string name, int kind) {
    if (over_glyph_budget_ || over_copy_budget_) return;
    unsigned count = 0;
    const hb_glyph_info_t *infos = hb_buffer_get_glyph_infos(buffer, &count);
    if (count > glyphs_left_) {
      over_glyph_budget_ = true;
      stop(buffer);
      return;
    }
    glyphs_left_ -= count;
    const hb_glyph_position_t *positions =
        kind == USP_TRACE_KIND_POSITION ? hb_buffer_get_glyph_positions(buffer, nullptr) : nullptr;
    const std::vector<unsigned> order = logical_order(buffer, infos, count);
    TraceStage stage{std::move(name), kind, {}, {}};
    stage.ids.reserve(count);
    stage.glyphs.reserve(count);
    for (unsigned i : order) {
      USP_TRACE_GLYPH glyph{infos[i].codepoint, infos[i].cluster, 0, 0, 0};
      if (positions != nullptr) {
        glyph.advance = positions[i].x_advance;
        glyph.x_offset = positions[i].x_offset;
        glyph.y_offset = positions[i].y_offset;
      }
      stage.ids.push_back(static_cast<std::uint16_t>(glyph.glyph));
      stage.glyphs.push_back(glyph);
    }
    stages_.push_back(std::move(stage));
  }

  std::vector<unsigned> logical_order(hb_buffer_t *buffer, const hb_glyph_info_t *infos,
                                      unsigned count) const {
    std::vector<unsigned> order(count);
    std::iota(order.begin(), order.end(), 0U);
    if (hb_buffer_get_direction(buffer) == direction_) return order;
    std::reverse(order.begin(), order.end());
    for (unsigned start = 0; start < count;) {
      unsigned end = start + 1;
      while (end < count && infos[end].cluster == infos[start].cluster) ++end;
      // Glyphs start..end of the buffer now sit at count-end..count-start.
      std::reverse(order.begin() + (count - end), order.begin() + (count - start));
      start = end;
    }
    return order;
  }

  // Asking for more room than HarfBuzz allows a run puts its buffer in the
  // error state that running into its own limits does: every loop over the
  // run ends, and the shaping returns at once.
  void stop(hb_buffer_t *buffer) {
    stages_.clear();
    hb_buffer_pre_allocate(buffer, UINT_MAX);
  }

  hb_direction_t direction_;
  std::size_t glyphs_left_;
  std::size_t copies_left_ = kCopyBudget;
  bool over_glyph_budget_ = false;
  bool over_copy_budget_ = false;
  Table table_ = Table::none;
  bool saw_gsub_ = false;
  bool skipped_ = false;
  bool positioning_started_ = false;
  bool failed_ = false;
  std::vector<TraceStage> stages_;
};

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
         std::to_string(StepTracer::kCopyBudget) +
         " glyph copies; shape it without trace or trace a shorter text";
}

std::string too_large(std::size_t budget, std::size_t glyphs) {
  return "cannot trace this text: the glyph runs recorded after each step would hold more "
         "than " +
         std::to_string(budget) + " glyphs in all (the shaped run has " + std::to_string(glyphs) +
         "); shape it without trace or trace a shorter text";
}

// The cmap result computed directly, for a shaping that never entered GSUB.
TraceStage nominal_stage(const FontFace &font, std::u16string_view text) {
  const CodePoints decoded = decode_utf16(text);
  TraceStage stage{"cmap", USP_TRACE_KIND_CMAP, {}, {}};
  for (std::size_t i = 0; i < decoded.chars.size(); ++i) {
    hb_codepoint_t glyph = 0;
    if (!hb_font_get_nominal_glyph(font.font(), decoded.chars[i], &glyph)) glyph = 0;
    stage.ids.push_back(static_cast<std::uint16_t>(glyph));
    stage.glyphs.push_back(
        USP_TRACE_GLYPH{glyph, static_cast<DWORD>(decoded.offsets[i]), 0, 0, 0});
  }
  return stage;
}

TraceStage final_stage(const ShapedRun &run) {
  TraceStage stage{"final", USP_TRACE_KIND_FINAL, {}, {}};
  stage.ids.reserve(run.glyphs.size());
  stage.glyphs.reserve(run.glyphs.size());
  for (std::size_t k = 0; k < run.glyphs.size(); ++k) {
    const hb_glyph_position_t &position = run.positions[k];
    stage.ids.push_back(static_cast<std::uint16_t>(run.glyphs[k]));
    stage.glyphs.push_back(USP_TRACE_GLYPH{run.glyphs[k], run.clusters[k], position.x_advance,
                                           position.x_offset, position.y_offset});
  }
  return stage;
}

}  // namespace

void TraceRecorder::append(std::vector<TraceStage> stages) {
  for (TraceStage &stage : stages) stages_.push_back(std::move(stage));
}

const TraceStage *TraceRecorder::stage(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return &stages_[static_cast<std::size_t>(index)];
}

void TraceRecorder::refuse(std::string reason) {
  stages_.clear();
  refusal_ = std::move(reason);
}

std::size_t trace_glyph_budget(std::size_t item_chars) {
  constexpr std::size_t kLeast = std::size_t{1} << 20;
  constexpr std::size_t kStagesOfText = 256;
  return item_chars > kLeast / kStagesOfText ? item_chars * kStagesOfText : kLeast;
}

ItemTrace trace_lookups(const FontFace &font, const ShapeRequest &request, const ShapedRun &final_run) {
  if (const auto &hazard = font.trace_hazard()) {
    return {{}, "cannot trace with this font: " + *hazard + "; shape it without trace"};
  }
  const std::size_t budget = trace_glyph_budget(request.text.size());
  const std::size_t glyphs = final_run.glyphs.size();
  StepTracer tracer(request.direction, budget > glyphs ? budget - glyphs : 0);
  const BufferPtr buffer = make_buffer(request);
  hb_buffer_set_message_func(buffer.get(), &StepTracer::on_message, &tracer, nullptr);
  shape_buffer(font, request, buffer.get());
  if (tracer.over_copy_budget()) return {{}, too_costly(glyphs)};
  if (tracer.over_glyph_budget()) return {{}, too_large(budget, glyphs)};
  if (!same_glyphs(buffer.get(), final_run.glyphs, request.direction == HB_DIRECTION_RTL))
    return {{}, diverged(hb_buffer_get_length(buffer.get()), glyphs)};

  std::vector<TraceStage> stages = tracer.take_stages();
  if (tracer.failed()) stages.clear();
  if (!tracer.saw_gsub() || tracer.failed()) {
    stages.insert(stages.begin(), nominal_stage(font, request.text));
  }
  stages.push_back(final_stage(final_run));
  return {std::move(stages), {}};
}

}  // namespace vantor
