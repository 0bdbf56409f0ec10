// Reading HarfBuzz's buffer messages: the vocabulary of every HarfBuzz from
// 6.0.0 on, kept in one table, and the reader that turns one shaping's
// messages into trace stages.
#pragma once

#include <hb.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace.h"

namespace vantor {

// What a message tells the reader.
enum class Meaning : std::uint8_t {
  substitution_start,  // GSUB, morx or mort begins: the glyphs of the cmap
  substitution_end,
  positioning_start,  // GPOS or kerx begins
  positioning_end,
  lookup_start,  // a GSUB or GPOS lookup
  lookup_skipped,
  lookup_end,
  subtable_start,  // an AAT subtable (morx/mort chain subtable, kerx subtable)
  subtable_skipped,
  subtable_end,
  step_start,  // a step of its own: normalization rounds, reordering phases,
  step_end,    // dotted circles, postprocessing, kerning without GPOS
  glyph_copy,  // from inside a lookup, costing a copy of the rest of the run
  recursion,   // a contextual lookup calling another, by its index
  inner,       // from inside a step or lookup, not a stage
};

// When a step becomes a stage.
enum class Record : std::uint8_t { never, always, when_changed };

// A message matched against the vocabulary: its meaning, the number it
// carries (a lookup or subtable index), its feature tag and, for steps, the
// stage it ends.
struct MessageReading {
  Meaning meaning = Meaning::inner;
  unsigned number = 0;
  std::string tag;         // a lookup's feature tag, printable
  std::string stage;       // step_end: the stage's name
  int kind = USP_TRACE_KIND_CMAP;
  Record record = Record::never;
  bool positioning_step = false;  // the kern table and fallback positioning
  // The step runs once positioning has ended, when HarfBuzz has turned a
  // backward run to visual order.
  bool after_positioning = false;
};

// The reading of one message, nullopt when no form of the vocabulary matches.
std::optional<MessageReading> read_message(std::string_view message);

// Follows the messages of one shaping and records its stages (see vantor.h
// for their names and kinds). The first stage is taken as substitution
// starts, the buffer then holding the glyphs of the cmap; steps before it
// (normalization) hold characters, recorded as the glyphs the font maps them
// to. Glyphs are recorded in logical order, each stage as the change it made
// to the one before (trace.h).
//
// Two bounds keep a hostile font from making the trace a burden: the glyphs
// the stages hold, and the glyphs HarfBuzz copies while it messages (until
// HarfBuzz 12, before each message about a glyph multiplied, ligated or
// deleted, HarfBuzz brings its output and input together, copying the rest
// of the run, so a lookup that multiplies every glyph of a long run costs the
// square of its length). Past either bound the reader puts the buffer in
// HarfBuzz's error state, which ends the shaping quickly, and records nothing
// more.
class TraceReader {
 public:
  // Glyph copies the messages may cost: a few tenths of a second at most.
  static constexpr std::size_t kCopyBudget = std::size_t{1} << 26;

  TraceReader(hb_direction_t direction, std::size_t glyph_budget)
      : direction_(direction), glyphs_left_(glyph_budget) {}

  // A hb_buffer_message_func_t. Always answers true: false would make
  // HarfBuzz skip the step it announces and so change the shaping.
  static hb_bool_t on_message(hb_buffer_t *buffer, hb_font_t *font, const char *message,
                              void *user_data);

  void read(hb_buffer_t *buffer, hb_font_t *font, std::string_view message);

  bool over_glyph_budget() const { return over_glyph_budget_; }
  bool over_copy_budget() const { return over_copy_budget_; }
  bool out_of_memory() const { return out_of_memory_; }
  // The cmap stage was taken: a substitution table started.
  bool saw_substitution() const { return saw_substitution_; }
  // Lookups (and AAT subtables) announced, skipped or not: of substitution
  // (GSUB, morx, mort) and of positioning (GPOS, kerx).
  std::size_t substitutions_announced() const { return announced_[0]; }
  std::size_t positionings_announced() const { return announced_[1]; }
  // GPOS started: HarfBuzz applies it (not for Hebrew without its 'hebr'
  // script, nor where it prefers kerx).
  bool saw_gpos() const { return saw_gpos_; }
  // The first message outside the vocabulary or out of place, and why;
  // empty when every message was understood.
  const std::string &misread() const { return misread_; }
  // The stages taken, as changes, and the last one whole.
  StageLog take_log() { return std::move(log_); }

 private:
  enum class Table : std::uint8_t { none, gsub, gpos, morx, mort, kerx };
  // The glyphs (or characters) and clusters as a step started.
  using Snapshot = std::vector<std::pair<hb_codepoint_t, std::uint32_t>>;

  void follow(hb_buffer_t *buffer, hb_font_t *font, std::string_view message,
              const MessageReading &reading);
  void start_table(hb_buffer_t *buffer, std::string_view message);
  void end_step(hb_buffer_t *buffer, hb_font_t *font, const MessageReading &reading);
  void end_lookup(hb_buffer_t *buffer, const MessageReading &reading);
  void end_subtable(hb_buffer_t *buffer, const MessageReading &reading);
  void charge_copy(hb_buffer_t *buffer);
  void note_recursion(unsigned lookup);
  void announce() { ++announced_[table_ == Table::gpos || table_ == Table::kerx ? 1 : 0]; }
  void start_positioning(hb_buffer_t *buffer);
  void misplaced(std::string_view message, std::string_view why);
  void take(hb_buffer_t *buffer, hb_font_t *font, std::string name, int kind,
            std::vector<std::uint16_t> nested = {});
  const std::vector<unsigned> &logical_order(hb_buffer_t *buffer, const hb_glyph_info_t *infos,
                                             unsigned count);
  static Snapshot snapshot(hb_buffer_t *buffer);
  void stop(hb_buffer_t *buffer);

  hb_direction_t direction_;
  std::size_t glyphs_left_;
  std::size_t copies_left_ = kCopyBudget;
  bool over_glyph_budget_ = false;
  bool over_copy_budget_ = false;
  bool out_of_memory_ = false;
  Table table_ = Table::none;
  bool saw_substitution_ = false;
  bool in_lookup_ = false;
  bool skipped_ = false;
  bool positioning_started_ = false;
  bool visual_order_ = false;  // the stage being taken is in visual order
  std::size_t announced_[2] = {0, 0};
  bool saw_gpos_ = false;
  Snapshot step_start_;
  std::string misread_;
  StageLog log_;
  // Kept from one stage to the next: the order of the buffer's glyphs, and
  // the glyphs of the stage being taken.
  std::vector<unsigned> order_;
  std::vector<USP_TRACE_GLYPH> taking_;
  // The lookups the open lookup called so far, in the order first called.
  std::vector<std::uint16_t> nested_;
  std::vector<bool> called_;  // by lookup index: in nested_
};

}  // namespace vantor
