#include "trace_reader.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <numeric>
#include <utility>

namespace vantor {
namespace {

using namespace std::string_view_literals;

// What may follow a form's words.
enum class Tail : std::uint8_t {
  none,        // nothing
  script_tag,  // nothing, or " script tag '....'" (HarfBuzz 8.0.0 on)
  lookup,      // "N feature 'tag'", then anything (" because no glyph matches")
  index,       // "N", then anything
  name,        // a word or more: the rest names the step
  any,         // anything
};

struct Form {
  std::string_view words;
  Tail tail;
  Meaning meaning;
  // substitution/positioning: the table; step_end: the stage, empty for the
  // message without its "end ".
  std::string_view stage = {};
  int kind = USP_TRACE_KIND_CMAP;
  Record record = Record::never;
  bool positioning_step = false;
  bool after_positioning = false;
};

constexpr auto kNormalize = USP_TRACE_KIND_NORMALIZE;
constexpr auto kReorder = USP_TRACE_KIND_REORDER;
constexpr auto kSubstitute = USP_TRACE_KIND_SUBSTITUTE;
constexpr auto kPosition = USP_TRACE_KIND_POSITION;

// Every message HarfBuzz sends from 6.0.0 to 15.0, in the order it sends
// them while shaping, with the version that brought each change. A step's
// start and end rows share their record rule.
constexpr Form kVocabulary[] = {
    // The shaper's preprocessing of the text (Thai, Hangul, ...) and the
    // three rounds of normalization, on characters; "decompose" and "compose"
    // are announced from 13.2.0 on.
    {"start preprocess-text", Tail::none, Meaning::step_start, {}, kNormalize, Record::when_changed},
    {"end preprocess-text", Tail::none, Meaning::step_end, "preprocess-text", kNormalize,
     Record::when_changed},
    {"start decompose", Tail::none, Meaning::step_start, {}, kNormalize, Record::when_changed},
    {"end decompose", Tail::none, Meaning::step_end, "decompose", kNormalize, Record::when_changed},
    {"start reorder", Tail::none, Meaning::step_start, {}, kNormalize, Record::when_changed},
    {"end reorder", Tail::none, Meaning::step_end, "reorder marks", kNormalize, Record::when_changed},
    {"start compose", Tail::none, Meaning::step_start, {}, kNormalize, Record::when_changed},
    {"end compose", Tail::none, Meaning::step_end, "compose", kNormalize, Record::when_changed},
    // Substitution: GSUB ("start table GSUB script tag 'dev2'" from 8.0.0 on;
    // the tag may be cut short or empty for a font without the script), or
    // AAT's morx or mort chains.
    {"start table GSUB", Tail::script_tag, Meaning::substitution_start, "GSUB"},
    {"end table GSUB", Tail::script_tag, Meaning::substitution_end, "GSUB"},
    {"start table morx", Tail::none, Meaning::substitution_start, "morx"},
    {"end table morx", Tail::none, Meaning::substitution_end, "morx"},
    {"start table mort", Tail::none, Meaning::substitution_start, "mort"},
    {"end table mort", Tail::none, Meaning::substitution_end, "mort"},
    // The shapers' reordering phases, between GSUB lookups: "reordering indic
    // initial", "indic final", "khmer", "myanmar", "USE". From 8.0.0 on the
    // insertion of dotted circles inside them is announced, or skipped.
    {"start reordering ", Tail::name, Meaning::step_start, {}, kReorder, Record::always},
    {"end reordering ", Tail::name, Meaning::step_end, {}, kReorder, Record::always},
    {"start inserting dotted-circles", Tail::none, Meaning::step_start, {}, kReorder,
     Record::when_changed},
    {"end inserting dotted-circles", Tail::none, Meaning::step_end, "inserting dotted-circles", kReorder,
     Record::when_changed},
    {"skipped inserting dotted-circles", Tail::any, Meaning::inner},
    // After positioning, a shaper's own glyph changes (Arabic's stretching).
    {"start postprocess-glyphs", Tail::none, Meaning::step_start, {}, kSubstitute, Record::when_changed},
    {"end postprocess-glyphs", Tail::none, Meaning::step_end, "postprocess-glyphs", kSubstitute,
     Record::when_changed, false, true},
    // Positioning: GPOS (with the script tag as GSUB), AAT's kerx, and
    // without them the kern table and HarfBuzz's fallback positioning.
    {"start table GPOS", Tail::script_tag, Meaning::positioning_start, "GPOS"},
    {"end table GPOS", Tail::script_tag, Meaning::positioning_end, "GPOS"},
    {"start table kerx", Tail::none, Meaning::positioning_start, "kerx"},
    {"end table kerx", Tail::none, Meaning::positioning_end, "kerx"},
    {"start table kern", Tail::none, Meaning::step_start, {}, kPosition, Record::always, true},
    {"end table kern", Tail::none, Meaning::step_end, "kern table", kPosition, Record::always, true},
    {"start fallback mark", Tail::none, Meaning::step_start, {}, kPosition, Record::always, true},
    {"end fallback mark", Tail::none, Meaning::step_end, "fallback mark", kPosition, Record::always,
     true},
    {"start fallback kern", Tail::none, Meaning::step_start, {}, kPosition, Record::always, true},
    {"end fallback kern", Tail::none, Meaning::step_end, "fallback kern", kPosition, Record::always,
     true},
    {"start kern", Tail::none, Meaning::inner},  // the kern machine inside the last two
    {"end kern", Tail::none, Meaning::inner},
    // GSUB and GPOS lookups: every lookup of the plan starts and ends, and is
    // skipped in between when no glyph of the run can match.
    {"start lookup ", Tail::lookup, Meaning::lookup_start},
    {"skipped lookup ", Tail::lookup, Meaning::lookup_skipped},
    {"end lookup ", Tail::lookup, Meaning::lookup_end},
    // AAT subtables, numbered across the table's chains. Those that cannot
    // match are announced as skipped, with no start or end: morx's from
    // 10.3.0 on (without their number in 10.3 and 10.4), kerx's from 11.0.0.
    {"start chainsubtable ", Tail::index, Meaning::subtable_start},
    {"skipped chainsubtable ", Tail::index, Meaning::subtable_skipped},
    {"skipped chainsubtable because ", Tail::any, Meaning::subtable_skipped},
    {"end chainsubtable ", Tail::index, Meaning::subtable_end},
    {"start subtable ", Tail::index, Meaning::subtable_start},
    {"skipped subtable ", Tail::index, Meaning::subtable_skipped},
    {"end subtable ", Tail::index, Meaning::subtable_end},
    // Messages about single glyphs, from inside lookups; sent by default up
    // to 11.x, from 12.0.0 on only by a HarfBuzz built with
    // HB_BUFFER_MESSAGE_MORE. Before the first three HarfBuzz copies the rest
    // of the run.
    {"multiplying glyph at ", Tail::any, Meaning::glyph_copy},
    {"ligating glyphs at ", Tail::any, Meaning::glyph_copy},
    {"deleting glyph at ", Tail::any, Meaning::glyph_copy},
    {"multiplied glyphs at ", Tail::any, Meaning::inner},
    {"ligated glyph at ", Tail::any, Meaning::inner},
    {"deleted glyph at ", Tail::any, Meaning::inner},
    {"replacing glyph at ", Tail::any, Meaning::inner},
    {"replaced glyph at ", Tail::any, Meaning::inner},
    {"positioning glyph at ", Tail::any, Meaning::inner},
    {"positioned glyph at ", Tail::any, Meaning::inner},
    {"try kerning glyphs at ", Tail::any, Meaning::inner},
    {"kerned glyphs at ", Tail::any, Meaning::inner},
    {"tried kerning glyphs at ", Tail::any, Meaning::inner},
    {"attaching mark glyph at ", Tail::any, Meaning::inner},
    {"attached mark glyph at ", Tail::any, Meaning::inner},
    {"cursive attaching glyph at ", Tail::any, Meaning::inner},
    {"cursive attached glyph at ", Tail::any, Meaning::inner},
    // A contextual lookup applying another: "recursing to lookup N at M"
    // before the call and "recursed to lookup N" after one that applied, up
    // to 13.x; "start/end recursing to lookup N" from 14.0.0 on. The call is
    // read from the first of each pair: it comes whether or not the lookup
    // called then applies.
    {"recursing to lookup ", Tail::index, Meaning::recursion},
    {"recursed to lookup ", Tail::any, Meaning::inner},
    {"start recursing to lookup ", Tail::index, Meaning::recursion},
    {"end recursing to lookup ", Tail::any, Meaning::inner},
};

// Leading decimal digits as a number; false when there are none.
bool take_number(std::string_view *rest, unsigned *number) {
  const auto parsed = std::from_chars(rest->data(), rest->data() + rest->size(), *number);
  if (parsed.ec != std::errc{}) return false;
  rest->remove_prefix(static_cast<std::size_t>(parsed.ptr - rest->data()));
  return true;
}

bool matches_tail(Tail tail, std::string_view rest, MessageReading *reading) {
  switch (tail) {
    case Tail::none:
      return rest.empty();
    case Tail::script_tag:
      return rest.empty() || rest.starts_with(" script tag '"sv);
    case Tail::index:
      return take_number(&rest, &reading->number);
    case Tail::name:
      return !rest.empty();
    case Tail::any:
      return true;
    case Tail::lookup:
      break;
  }
  if (!take_number(&rest, &reading->number)) return false;
  constexpr std::string_view kFeature = " feature '"sv;
  if (!rest.starts_with(kFeature)) return false;
  // A tag with a NUL ends the message inside it: the lookup has no tag then.
  if (rest.size() < kFeature.size() + 5) return true;
  reading->tag = std::string(rest.substr(kFeature.size(), 4));
  for (char &c : reading->tag) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return true;
}

}  // namespace

std::optional<MessageReading> read_message(std::string_view message) {
  if (message.empty()) return std::nullopt;
  for (const Form &form : kVocabulary) {
    // Most messages come from inside lookups, matched by forms near the end
    // of the table: a first letter that differs rules a form out cheaply.
    if (form.words.front() != message.front() || !message.starts_with(form.words)) continue;
    MessageReading reading;
    if (!matches_tail(form.tail, message.substr(form.words.size()), &reading)) continue;
    reading.meaning = form.meaning;
    reading.kind = form.kind;
    reading.record = form.record;
    reading.positioning_step = form.positioning_step;
    reading.after_positioning = form.after_positioning;
    reading.stage = form.meaning == Meaning::step_end && form.stage.empty()
                        ? std::string(message.substr("end "sv.size()))
                        : std::string(form.stage);
    return reading;
  }
  return std::nullopt;
}

hb_bool_t TraceReader::on_message(hb_buffer_t *buffer, hb_font_t *font, const char *message,
                                  void *user_data) {
  auto *reader = static_cast<TraceReader *>(user_data);
  try {
    reader->read(buffer, font, message);
  } catch (const std::bad_alloc &) {
    reader->out_of_memory_ = true;
    reader->stop(buffer);
  }
  return true;
}

void TraceReader::read(hb_buffer_t *buffer, hb_font_t *font, std::string_view message) {
  if (over_glyph_budget_ || over_copy_budget_ || out_of_memory_) return;
  const std::optional<MessageReading> reading = read_message(message);
  if (reading) {
    follow(buffer, font, message, *reading);
  } else if (!in_lookup_) {
    // Inside a lookup a message of its own is harmless: the lookup's stage
    // is taken at its end all the same. Elsewhere it may announce a step
    // whose changes would be put down to the next stage.
    misplaced(message, "a message this reader does not know");
  }
}

void TraceReader::follow(hb_buffer_t *buffer, hb_font_t *font, std::string_view message,
                         const MessageReading &reading) {
  const bool in_table = table_ != Table::none;
  const bool aat = table_ == Table::morx || table_ == Table::mort || table_ == Table::kerx;
  switch (reading.meaning) {
    case Meaning::substitution_start:
    case Meaning::positioning_start:
      if (in_table) return misplaced(message, "a table starting inside another");
      return start_table(buffer, reading.stage);
    case Meaning::substitution_end:
    case Meaning::positioning_end:
      if (!in_table || in_lookup_) return misplaced(message, "a table ending where none was open");
      table_ = Table::none;
      return;
    case Meaning::lookup_start:
      if (!in_table || aat || in_lookup_) return misplaced(message, "a lookup outside GSUB and GPOS");
      announce();
      in_lookup_ = true;
      skipped_ = false;
      for (const std::uint16_t index : nested_) called_[index] = false;
      nested_.clear();
      return;
    case Meaning::subtable_start:
      if (!aat || in_lookup_) return misplaced(message, "a subtable outside morx, mort and kerx");
      announce();
      in_lookup_ = true;
      skipped_ = false;
      return;
    case Meaning::lookup_skipped:
      if (!in_lookup_ || aat) return misplaced(message, "a lookup skipped that had not started");
      skipped_ = true;
      return;
    case Meaning::subtable_skipped:
      if (!aat || in_lookup_) return misplaced(message, "a subtable outside morx, mort and kerx");
      announce();
      return;
    case Meaning::lookup_end:
      if (!in_lookup_ || aat) return misplaced(message, "a lookup ending that had not started");
      return end_lookup(buffer, reading);
    case Meaning::subtable_end:
      if (!in_lookup_ || !aat) return misplaced(message, "a subtable ending that had not started");
      return end_subtable(buffer, reading);
    case Meaning::step_start:
      if (in_lookup_) return misplaced(message, "a step starting inside a lookup");
      if (reading.positioning_step) start_positioning(buffer);
      if (reading.record == Record::when_changed) step_start_ = snapshot(buffer);
      return;
    case Meaning::step_end:
      if (in_lookup_) return misplaced(message, "a step ending inside a lookup");
      return end_step(buffer, font, reading);
    case Meaning::glyph_copy:
      return charge_copy(buffer);
    case Meaning::recursion:
      if (!in_lookup_ || aat) return misplaced(message, "a lookup called outside GSUB and GPOS lookups");
      return note_recursion(reading.number);
    case Meaning::inner:
      return;
  }
}

void TraceReader::start_table(hb_buffer_t *buffer, std::string_view table) {
  if (table == "GPOS"sv || table == "kerx"sv) {
    table_ = table == "GPOS"sv ? Table::gpos : Table::kerx;
    saw_gpos_ = saw_gpos_ || table_ == Table::gpos;
    start_positioning(buffer);
    return;
  }
  table_ = table == "GSUB"sv ? Table::gsub : table == "morx"sv ? Table::morx : Table::mort;
  if (saw_substitution_) return;
  saw_substitution_ = true;
  take(buffer, nullptr, "cmap", USP_TRACE_KIND_CMAP);
}

void TraceReader::end_step(hb_buffer_t *buffer, hb_font_t *font, const MessageReading &reading) {
  if (reading.record == Record::never) return;
  if (reading.record == Record::when_changed) {
    const bool changed = snapshot(buffer) != step_start_;
    step_start_.clear();
    if (!changed) return;
  }
  visual_order_ = reading.after_positioning && HB_DIRECTION_IS_BACKWARD(hb_buffer_get_direction(buffer));
  take(buffer, font, reading.stage, reading.kind);
  visual_order_ = false;
}

// "end lookup 11 feature 'fina'" becomes "GSUB lookup 11 'fina'".
void TraceReader::end_lookup(hb_buffer_t *buffer, const MessageReading &reading) {
  in_lookup_ = false;
  if (std::exchange(skipped_, false)) return;
  const bool gsub = table_ == Table::gsub;
  std::string name =
      std::string(gsub ? "GSUB"sv : "GPOS"sv) + " lookup " + std::to_string(reading.number);
  if (!reading.tag.empty()) name += " '" + reading.tag + "'";
  for (const std::uint16_t index : nested_) called_[index] = false;
  take(buffer, nullptr, std::move(name), gsub ? USP_TRACE_KIND_SUBSTITUTE : USP_TRACE_KIND_POSITION,
       std::exchange(nested_, {}));
}

// A lookup list holds at most 65,535 lookups: a larger index is not a lookup
// of the font and is left out. A rule may call the same lookup at every
// glyph of a long run, and a hostile font's rules many lookups: each is kept
// once, found in a set of every index rather than by a search of the list.
void TraceReader::note_recursion(unsigned lookup) {
  if (lookup > UINT16_MAX) return;
  const auto index = static_cast<std::uint16_t>(lookup);
  if (called_.empty()) called_.resize(std::size_t{UINT16_MAX} + 1);
  if (called_[index]) return;
  called_[index] = true;
  nested_.push_back(index);
}

// "end chainsubtable 3" in morx becomes "morx chainsubtable 3".
void TraceReader::end_subtable(hb_buffer_t *buffer, const MessageReading &reading) {
  in_lookup_ = false;
  const std::string_view table = table_ == Table::morx ? "morx chainsubtable "sv
                                 : table_ == Table::mort ? "mort chainsubtable "sv
                                                         : "kerx subtable "sv;
  take(buffer, nullptr, std::string(table) + std::to_string(reading.number),
       table_ == Table::kerx ? USP_TRACE_KIND_POSITION : USP_TRACE_KIND_SUBSTITUTE);
}

void TraceReader::charge_copy(hb_buffer_t *buffer) {
  const unsigned length = hb_buffer_get_length(buffer);
  if (length > copies_left_) {
    over_copy_budget_ = true;
    stop(buffer);
    return;
  }
  copies_left_ -= length;
}

void TraceReader::start_positioning(hb_buffer_t *buffer) {
  if (std::exchange(positioning_started_, true)) return;
  take(buffer, nullptr, "default positions", USP_TRACE_KIND_POSITION);
}

void TraceReader::misplaced(std::string_view message, std::string_view why) {
  if (!misread_.empty()) return;
  std::string shown(message.substr(0, 80));
  for (char &c : shown) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  misread_ = std::string(why) + " ('" + shown + "')";
}

// The buffer's glyphs in logical order. Positions are read only once
// positioning has started: before that the buffer has none, and asking for
// them would clear memory HarfBuzz is still using. Before substitution the
// buffer holds characters, recorded as the glyphs the font maps them to.
void TraceReader::take(hb_buffer_t *buffer, hb_font_t *font, std::string name, int kind,
                       std::vector<std::uint16_t> nested) {
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
  const bool characters = kind == USP_TRACE_KIND_NORMALIZE && font != nullptr;
  std::vector<USP_TRACE_GLYPH> &glyphs = taking_;
  glyphs.reserve(count);
  for (unsigned i : logical_order(buffer, infos, count)) {
    hb_codepoint_t id = infos[i].codepoint;
    if (characters && !hb_font_get_nominal_glyph(font, id, &id)) id = 0;
    USP_TRACE_GLYPH glyph{id, infos[i].cluster, 0, 0, 0};
    if (positions != nullptr) {
      glyph.advance = positions[i].x_advance;
      glyph.x_offset = positions[i].x_offset;
      glyph.y_offset = positions[i].y_offset;
    }
    glyphs.push_back(glyph);
  }
  log_.take(std::move(name), kind, glyphs, std::move(nested));
}

// HarfBuzz turns the buffer around cluster by cluster (and flips its
// direction) when it shapes a script against its natural direction, and a
// backward run to visual order as positioning ends; that is undone here.
// AAT subtables may also leave the whole buffer reversed, with its direction
// unchanged: in logical order clusters never fall from the first glyph to
// the last.
const std::vector<unsigned> &TraceReader::logical_order(hb_buffer_t *buffer, const hb_glyph_info_t *infos,
                                                        unsigned count) {
  std::vector<unsigned> &order = order_;
  order.resize(count);
  std::iota(order.begin(), order.end(), 0U);
  if (visual_order_) std::reverse(order.begin(), order.end());
  if (hb_buffer_get_direction(buffer) != direction_) {
    std::reverse(order.begin(), order.end());
    for (unsigned start = 0; start < count;) {
      unsigned end = start + 1;
      while (end < count && infos[end].cluster == infos[start].cluster) ++end;
      // Glyphs start..end of the buffer now sit at count-end..count-start.
      std::reverse(order.begin() + (count - end), order.begin() + (count - start));
      start = end;
    }
  }
  const bool aat = table_ == Table::morx || table_ == Table::mort || table_ == Table::kerx;
  if (aat && count > 1 && infos[order.front()].cluster > infos[order.back()].cluster) {
    std::reverse(order.begin(), order.end());
  }
  return order;
}

TraceReader::Snapshot TraceReader::snapshot(hb_buffer_t *buffer) {
  unsigned count = 0;
  const hb_glyph_info_t *infos = hb_buffer_get_glyph_infos(buffer, &count);
  Snapshot out;
  out.reserve(count);
  for (unsigned i = 0; i < count; ++i) out.emplace_back(infos[i].codepoint, infos[i].cluster);
  return out;
}

// Asking for more room than HarfBuzz allows a run puts its buffer in the
// error state that running into its own limits does: every loop over the
// run ends, and the shaping returns at once.
void TraceReader::stop(hb_buffer_t *buffer) {
  log_.clear();
  hb_buffer_pre_allocate(buffer, UINT_MAX);
}

}  // namespace vantor
