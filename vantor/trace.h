// The shaping trace: the glyph sequence after cmap, after each step HarfBuzz
// announces (its shapers' reordering phases, each GSUB and GPOS lookup, the
// kern table, fallback positioning) and at the end of shaping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ffi/usp10.h"
#include "font_store.h"
#include "shaper.h"

namespace vantor {

struct TraceStage {
  std::string name;
  int kind = USP_TRACE_KIND_CMAP;
  // Glyph ids alone, for usp_trace_stage.
  std::vector<std::uint16_t> ids;
  // The same glyphs with HarfBuzz's cluster at that moment and, in stages
  // that position, its advance and offsets; for usp_trace_stage_glyphs.
  std::vector<USP_TRACE_GLYPH> glyphs;
};

// Stages recorded between usp_trace_begin and usp_trace_stop. Stages are
// only ever appended while recording, and each keeps its own glyph arrays, so
// pointers handed out stay valid until the next begin or stop.
class TraceRecorder {
 public:
  void begin() {
    stages_.clear();
    refusal_.clear();
    out_of_memory_ = false;
    recording_ = true;
  }
  void stop() {
    stages_.clear();
    refusal_.clear();
    out_of_memory_ = false;
    recording_ = false;
  }
  bool recording() const { return recording_; }
  void append(std::vector<TraceStage> stages);
  // Drops the stages: the item could not be traced, for this reason. The
  // reason stays until the next begin or stop.
  void refuse(std::string reason);
  // refuse() with a reason that needs no memory.
  void refuse_out_of_memory() noexcept;
  std::string_view refusal() const;
  int count() const { return static_cast<int>(stages_.size()); }
  const TraceStage *stage(int index) const;

 private:
  bool recording_ = false;
  std::vector<TraceStage> stages_;
  std::string refusal_;
  bool out_of_memory_ = false;
};

// The stages of one item, or why it cannot be traced.
struct ItemTrace {
  std::vector<TraceStage> stages;
  std::string refusal;  // empty when traced
};

// Shapes the request a second time with HarfBuzz's message callback and
// returns the stages "cmap", one per step that ran (see vantor.h for their
// names and kinds; trace_reader.h reads the messages), and "final" holding
// `final_run`. The result of this
// second shaping is never handed out: a callback can change how some fonts
// shape, so the caller's result always comes from the untraced shaping and
// so does the final stage.
//
// Refuses, shaping nothing, a font that HarfBuzz cannot trace safely, and
// refuses a trace whose stages would hold more glyphs than
// trace_glyph_budget: a font whose lookups keep growing the run would
// otherwise record the whole run after every step. Never hands out a trace
// it cannot vouch for: it refuses one whose messages fall outside the
// vocabulary, one that announced no lookup where the font's plan has some,
// and one whose last stage does not lead to the result, naming the HarfBuzz
// version.
ItemTrace trace_lookups(const FontFace &font, const ShapeRequest &request, const ShapedRun &final_run);

class TraceReader;

// The lookups of HarfBuzz's plan for a text, per table.
struct PlannedLookups {
  std::size_t gsub = 0;
  std::size_t gpos = 0;
};

// Why the stages read from a traced shaping cannot be handed out, naming the
// HarfBuzz version; nullopt when they can. `planned` counts the lookups of
// HarfBuzz's plan for the text (they matter only where the reader saw none
// of a table announced).
std::optional<std::string> unreadable_trace(const TraceReader &reader,
                                            const std::vector<TraceStage> &stages,
                                            PlannedLookups planned, const ShapedRun &final_run,
                                            const FontFace &font, std::u16string_view text);

// At least 2^20 glyphs, and 256 stages of the item's length beyond that.
std::size_t trace_glyph_budget(std::size_t item_chars);

}  // namespace vantor
