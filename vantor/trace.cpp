#include "trace.h"

#include <algorithm>
#include <charconv>
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
class LookupTracer {
 public:
  explicit LookupTracer(hb_direction_t direction) : direction_(direction) {}

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
  bool saw_gsub() const { return saw_gsub_; }
  std::vector<TraceStage> take_stages() { return std::move(stages_); }

 private:
  void handle(hb_buffer_t *buffer, std::string_view message) {
    if (message == "start table GSUB"sv) {
      in_gsub_ = saw_gsub_ = true;
      stages_.push_back(TraceStage{"cmap", snapshot(buffer)});
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
      if (!skipped_) stages_.push_back(TraceStage{stage_name(message), snapshot(buffer)});
      skipped_ = false;
    }
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

  hb_direction_t direction_;
  bool in_gsub_ = false;
  bool saw_gsub_ = false;
  bool skipped_ = false;
  bool failed_ = false;
  std::vector<TraceStage> stages_;
};

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

std::vector<TraceStage> trace_lookups(const FontFace &font, const ShapeRequest &request,
                                      const std::vector<hb_codepoint_t> &final_glyphs) {
  LookupTracer tracer(request.direction);
  const BufferPtr buffer = make_buffer(request);
  hb_buffer_set_message_func(buffer.get(), &LookupTracer::on_message, &tracer, nullptr);
  shape_buffer(font, request, buffer.get());

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
  return stages;
}

}  // namespace vantor
