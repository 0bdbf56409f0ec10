// The shaping trace: the glyph sequence after cmap, after each step HarfBuzz
// announces (its shapers' reordering phases, each GSUB and GPOS lookup, the
// kern table, fallback positioning) and at the end of shaping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "abi/usp10.h"
#include "font_store.h"
#include "shaper.h"

namespace vantor {

// One stage as the change it made: the glyphs [start, stop) of the stage
// before it in the same item replaced by `glyphs`, the shortest such span
// (the glyphs both stages begin and end with are left out; glyphs compare by
// id, cluster, advance and offsets). Between a stage that positions and one
// that does not, every glyph is replaced. The first stage of an item replaces
// nothing in an empty run. A trace so kept grows with what the steps changed,
// not with the steps times the run's length.
struct TraceStage {
  std::string name;
  int kind = USP_TRACE_KIND_CMAP;
  bool first = true;
  std::size_t count = 0;  // the glyphs of the whole stage
  std::size_t start = 0;
  std::size_t stop = 0;
  // The glyphs that replace [start, stop): their id, HarfBuzz's cluster at
  // that moment and, in stages that position, its advance and offsets.
  std::vector<USP_TRACE_GLYPH> glyphs;
  // For a contextual or chaining lookup: the lookups its rules called
  // (HarfBuzz's "recursing to lookup N"), in the order first called, each
  // once, nested calls included. A call is listed whether or not the lookup
  // it called then changed a glyph.
  std::vector<std::uint16_t> nested;
};

// The glyphs of the stage before `stage` made into the stage's own.
void apply_change(const TraceStage &stage, std::vector<USP_TRACE_GLYPH> &glyphs);

// The stages of one item, recorded as changes in the order they are taken,
// and the last one whole, which the next one is compared with.
class StageLog {
 public:
  // Records the stage whose glyphs are `whole`, keeping them as the last
  // stage; `whole` is left holding the last stage's memory, emptied, to take
  // the next stage in.
  void take(std::string name, int kind, std::vector<USP_TRACE_GLYPH> &whole,
            std::vector<std::uint16_t> nested = {});
  // Records a stage before the stage of index `at`, whose change is then
  // made against the new one. Replays the stages before it: meant for the
  // first few stages of an item.
  void insert(std::size_t at, std::string name, int kind, std::vector<USP_TRACE_GLYPH> &&whole);
  void clear();
  bool empty() const { return stages_.empty(); }
  const std::vector<TraceStage> &stages() const { return stages_; }
  std::vector<TraceStage> take_stages() { return std::move(stages_); }
  // The glyphs of the last stage, whole.
  const std::vector<USP_TRACE_GLYPH> &last() const { return last_; }

 private:
  std::vector<TraceStage> stages_;
  std::vector<USP_TRACE_GLYPH> last_;
};

// Stages recorded between usp_trace_begin and usp_trace_stop. Stages are
// only ever appended while recording. The whole-stage read-out hands out
// whole stages: each is rebuilt from the changes when first asked for (from
// the nearest stage before it in its item that was rebuilt, else from the
// item's first) and kept, so that pointers handed out stay valid until the
// next begin or stop.
class TraceRecorder {
 public:
  // A stage rebuilt whole, for usp_trace_stage and usp_trace_stage_glyphs.
  struct WholeStage {
    std::vector<std::uint16_t> ids;
    std::vector<USP_TRACE_GLYPH> glyphs;
  };

  void begin() {
    stop();
    recording_ = true;
  }
  void stop() {
    drop();
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
  // The stage of that index whole; null for an index out of range.
  const WholeStage *whole(int index);

 private:
  void drop();  // the stages and what was rebuilt of them

  bool recording_ = false;
  std::vector<TraceStage> stages_;
  std::vector<std::unique_ptr<WholeStage>> wholes_;  // by index, once asked for
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
std::optional<std::string> unreadable_trace(const TraceReader &reader, const StageLog &stages,
                                            PlannedLookups planned, const ShapedRun &final_run,
                                            const FontFace &font, std::u16string_view text);

// At least 2^20 glyphs, and 256 stages of the item's length beyond that.
std::size_t trace_glyph_budget(std::size_t item_chars);

}  // namespace vantor
