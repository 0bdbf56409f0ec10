#include "trace.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "utf16.h"

namespace vantor {
namespace {

using namespace std::string_view_literals;

// Follows HarfBuzz's buffer messages during one shaping. HarfBuzz 6.0.0
// sends, inside the GSUB table, "start lookup N feature 'tag'", optionally
// "skipped lookup N ..." when no glyph can match, and always
// "end lookup N feature 'tag'"; it also sends messages from inside each
// lookup and for GPOS. A stage is taken at "start table GSUB" (the cmap
// result) and at each "end lookup" of a GSUB lookup that was not skipped.
//
// Two bounds keep a hostile font from making the trace a burden: the glyphs
// the stages hold, and the glyphs HarfBuzz copies while it messages. Before
// each message about a glyph multiplied, ligated or deleted, HarfBuzz brings
// its output and input together, copying the rest of the run, so a lookup
// that multiplies every glyph of a long run costs the square of its length.
// Past either bound the tracer puts the buffer in HarfBuzz's error state,
// which ends the shaping quickly, and records nothing more.
class LookupTracer {
 public:
  // Glyph copies the messages may cost: a few tenths of a second at most.
  static constexpr std::size_t kCopyBudget = std::size_t{1} << 26;

  LookupTracer(hb_direction_t direction, std::size_t glyph_budget)
      : direction_(direction), glyphs_left_(glyph_budget) {}

  // Always answers true: false would make HarfBuzz skip the step it
  // announces and so change the shaping.
  static hb_bool_t on_message(hb_buffer_t *buffer, hb_font_t *, const char *message,
                              void *user_data) {
    auto *tracer = static_cast<LookupTracer *>(user_data);
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
    if (message == "start table GSUB"sv) {
      in_gsub_ = saw_gsub_ = true;
      take_stage("cmap", buffer);
      return;
    }
    if (message == "end table GSUB"sv) {
      in_gsub_ = false;
      return;
    }
    if (!in_gsub_) return;
    if (message.starts_with("start lookup "sv)) {
      skipped_ = false;
    } else if (message.starts_with("skipped lookup "sv)) {
      skipped_ = true;
    } else if (message.starts_with("end lookup "sv)) {
      if (!skipped_) take_stage(stage_name(message), buffer);
      skipped_ = false;
    }
  }

  void take_stage(std::string name, hb_buffer_t *buffer) {
    const unsigned length = hb_buffer_get_length(buffer);
    if (length > glyphs_left_) {
      over_glyph_budget_ = true;
      stop(buffer);
      return;
    }
    glyphs_left_ -= length;
    stages_.push_back(TraceStage{std::move(name), snapshot(buffer)});
  }

  // "end lookup 11 feature 'fina'" becomes "GSUB lookup 11 'fina'".
  static std::string stage_name(std::string_view message) {
    std::string_view rest = message.substr("end lookup "sv.size());
    unsigned index = 0;
    const auto parsed = std::from_chars(rest.data(), rest.data() + rest.size(), index);
    std::string name = "GSUB lookup " + std::to_string(index);
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
  // against its natural direction; that is undone here.
  std::vector<std::uint16_t> snapshot(hb_buffer_t *buffer) const {
    unsigned count = 0;
    const hb_glyph_info_t *infos = hb_buffer_get_glyph_infos(buffer, &count);
    std::vector<std::uint16_t> glyphs(count);
    for (unsigned i = 0; i < count; ++i) glyphs[i] = static_cast<std::uint16_t>(infos[i].codepoint);
    if (hb_buffer_get_direction(buffer) == direction_) return glyphs;
    std::reverse(glyphs.begin(), glyphs.end());
    for (unsigned start = 0; start < count;) {
      unsigned end = start + 1;
      while (end < count && infos[end].cluster == infos[start].cluster) ++end;
      // Glyphs start..end of the buffer now sit at count-end..count-start.
      std::reverse(glyphs.begin() + (count - end), glyphs.begin() + (count - start));
      start = end;
    }
    return glyphs;
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
  bool in_gsub_ = false;
  bool saw_gsub_ = false;
  bool skipped_ = false;
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
         std::to_string(LookupTracer::kCopyBudget) +
         " glyph copies; shape it without trace or trace a shorter text";
}

std::string too_large(std::size_t budget, std::size_t glyphs) {
  return "cannot trace this text: the glyph runs recorded after each lookup would hold more "
         "than " +
         std::to_string(budget) + " glyphs in all (the shaped run has " + std::to_string(glyphs) +
         "); shape it without trace or trace a shorter text";
}

// The cmap result computed directly, for a shaping that never entered GSUB.
std::vector<std::uint16_t> nominal_glyphs(const FontFace &font, std::u16string_view text) {
  const CodePoints decoded = decode_utf16(text);
  std::vector<std::uint16_t> glyphs;
  glyphs.reserve(decoded.chars.size());
  for (char32_t c : decoded.chars) {
    hb_codepoint_t glyph = 0;
    if (!hb_font_get_nominal_glyph(font.font(), c, &glyph)) glyph = 0;
    glyphs.push_back(static_cast<std::uint16_t>(glyph));
  }
  return glyphs;
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

ItemTrace trace_lookups(const FontFace &font, const ShapeRequest &request,
                        const std::vector<hb_codepoint_t> &final_glyphs) {
  if (const auto &hazard = font.trace_hazard()) {
    return {{}, "cannot trace with this font: " + *hazard + "; shape it without trace"};
  }
  const std::size_t budget = trace_glyph_budget(request.text.size());
  const std::size_t glyphs = final_glyphs.size();
  LookupTracer tracer(request.direction, budget > glyphs ? budget - glyphs : 0);
  const BufferPtr buffer = make_buffer(request);
  hb_buffer_set_message_func(buffer.get(), &LookupTracer::on_message, &tracer, nullptr);
  shape_buffer(font, request, buffer.get());
  if (tracer.over_copy_budget()) return {{}, too_costly(glyphs)};
  if (tracer.over_glyph_budget()) return {{}, too_large(budget, glyphs)};
  if (!same_glyphs(buffer.get(), final_glyphs, request.direction == HB_DIRECTION_RTL))
    return {{}, diverged(hb_buffer_get_length(buffer.get()), glyphs)};

  std::vector<TraceStage> stages = tracer.take_stages();
  if (tracer.failed()) stages.clear();
  if (!tracer.saw_gsub() || tracer.failed()) {
    stages.insert(stages.begin(), TraceStage{"cmap", nominal_glyphs(font, request.text)});
  }
  TraceStage final_stage{"final", {}};
  final_stage.glyphs.reserve(final_glyphs.size());
  for (hb_codepoint_t glyph : final_glyphs) {
    final_stage.glyphs.push_back(static_cast<std::uint16_t>(glyph));
  }
  stages.push_back(std::move(final_stage));
  return {std::move(stages), {}};
}

}  // namespace vantor
