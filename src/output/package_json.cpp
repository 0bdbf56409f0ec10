#include "output/package_json.h"

#include <charconv>
#include <initializer_list>
#include <map>

#include "json/escape.h"

namespace tesvo {

namespace {

void append_int(std::string &out, std::int64_t value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// A member: `,"key":` (no comma before the first member of an object).
void key(std::string &out, std::string_view name, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += name;
  out += "\":";
}

void optional_string(std::string &out, const std::optional<std::string> &value) {
  if (value)
    append_json_string(out, *value);
  else
    out += "null";
}

void optional_int(std::string &out, const std::optional<std::int64_t> &value) {
  if (value)
    append_int(out, *value);
  else
    out += "null";
}

void append_font(std::string &out, const ResultHead &head) {
  out += '{';
  if (head.path) {
    key(out, "path", true);
    append_json_string(out, *head.path);
  } else {
    key(out, "sha256", true);
    optional_string(out, head.sha256);
  }
  key(out, "index");
  append_int(out, head.face);
  key(out, "family");
  append_json_string(out, head.family);
  key(out, "upem");
  append_int(out, head.upem);
  key(out, "glyph_count");
  append_int(out, head.glyph_count);
  out += '}';
}

void append_options(std::string &out, const ResultHead &head) {
  out += '{';
  key(out, "direction", true);
  append_json_string(out, head.direction);
  const std::pair<std::string_view, const std::optional<std::string> *> rest[] = {
      {"features", &head.features}, {"script", &head.script}, {"language", &head.language},
      {"variations", &head.variations}};
  for (const auto &[name, value] : rest) {
    key(out, name);
    optional_string(out, *value);
  }
  out += '}';
}

// The rows' members as literals, each with what stands before its value: a
// line of many glyphs writes these most.
void append_item(std::string &out, const JsonItem &item) {
  out += "\"start\":";
  append_int(out, item.start);
  out += ",\"end\":";
  append_int(out, item.end);
  out += ",\"level\":";
  append_int(out, item.level);
  out += item.rtl ? ",\"rtl\":true,\"script_tag\":" : ",\"rtl\":false,\"script_tag\":";
  append_json_string(out, item.script_tag);
  out += ",\"script\":";
  append_int(out, item.script);
  out += item.continues ? ",\"continues\":true" : ",\"continues\":false";
}

// SCRIPT_JUSTIFY's members by value, as Microsoft's documentation names them.
constexpr std::string_view kJustificationNames[16] = {
    "SCRIPT_JUSTIFY_NONE",        "SCRIPT_JUSTIFY_ARABIC_BLANK",  "SCRIPT_JUSTIFY_CHARACTER",
    "SCRIPT_JUSTIFY_RESERVED1",   "SCRIPT_JUSTIFY_BLANK",         "SCRIPT_JUSTIFY_RESERVED2",
    "SCRIPT_JUSTIFY_RESERVED3",   "SCRIPT_JUSTIFY_ARABIC_NORMAL", "SCRIPT_JUSTIFY_ARABIC_KASHIDA",
    "SCRIPT_JUSTIFY_ARABIC_ALEF", "SCRIPT_JUSTIFY_ARABIC_HA",     "SCRIPT_JUSTIFY_ARABIC_RA",
    "SCRIPT_JUSTIFY_ARABIC_BA",   "SCRIPT_JUSTIFY_ARABIC_BARA",   "SCRIPT_JUSTIFY_ARABIC_SEEN",
    "SCRIPT_JUSTIFY_ARABIC_SEEN_M"};

const char *boolean(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string_view justification_name(unsigned value) { return kJustificationNames[value & kPackedJustification]; }

std::int64_t justification_value(std::string_view name) {
  for (std::size_t k = 0; k < std::size(kJustificationNames); ++k)
    if (kJustificationNames[k] == name) return static_cast<std::int64_t>(k);
  return -1;
}

namespace {

void append_glyph(std::string &out, const JsonGlyph &g) {
  out += "\"id\":";
  append_int(out, g.id);
  out += ",\"cluster\":";
  append_int(out, g.cluster);
  out += ",\"advance\":";
  append_int(out, g.advance);
  out += ",\"du\":";
  append_int(out, g.du);
  out += ",\"dv\":";
  append_int(out, g.dv);
  out += ",\"x_offset\":";
  append_int(out, g.x_offset);
  out += ",\"y_offset\":";
  append_int(out, g.y_offset);
  out += ",\"item\":";
  append_int(out, g.item);
  out += ",\"name\":";
  append_json_string(out, g.name);
  out += ",\"justification\":\"";
  out += justification_name(g.props);
  out += "\",\"cluster_start\":";
  out += boolean((g.props & kPackedClusterStart) != 0);
  out += ",\"diacritic\":";
  out += boolean((g.props & kPackedDiacritic) != 0);
  out += ",\"zero_width\":";
  out += boolean((g.props & kPackedZeroWidth) != 0);
}

void append_axis(std::string &out, const JsonAxis &axis) {
  key(out, "tag", true);
  append_json_string(out, axis.tag);
  key(out, "value");
  out += axis.value;
  key(out, "normalized");
  out += axis.normalized;
}

void append_stage(std::string &out, const JsonStage &stage) {
  key(out, "item", true);
  append_int(out, stage.item);
  key(out, "kind");
  optional_string(out, stage.kind);
  key(out, "name");
  append_json_string(out, stage.name);
  key(out, "count");
  append_int(out, stage.count);
  key(out, "start");
  append_int(out, stage.start);
  key(out, "stop");
  append_int(out, stage.stop);
  key(out, "changed");
  out += '[';
  for (std::size_t i = 0; i < stage.changed.size(); ++i) {
    const JsonStageGlyph &g = stage.changed[i];
    if (i > 0) out += ',';
    out += '[';
    append_int(out, g.id);
    for (const std::optional<std::int64_t> *value : {&g.cluster, &g.advance, &g.x_offset, &g.y_offset}) {
      out += ',';
      optional_int(out, *value);
    }
    out += ']';
  }
  out += ']';
  key(out, "nested");
  out += '[';
  for (std::size_t i = 0; i < stage.nested.size(); ++i) {
    if (i > 0) out += ',';
    append_int(out, stage.nested[i]);
  }
  out += ']';
}

// The analysis as Item.analysis names its fields: SCRIPT_ANALYSIS's, then
// its SCRIPT_STATE's.
void append_analysis(std::string &out, const SCRIPT_ANALYSIS &a) {
  const auto flag = [&](const char *name, unsigned value) {
    key(out, name);
    out += boolean(value != 0);
  };
  key(out, "script", true);
  append_int(out, a.eScript);
  flag("rtl", a.fRTL);
  flag("layout_rtl", a.fLayoutRTL);
  flag("link_before", a.fLinkBefore);
  flag("link_after", a.fLinkAfter);
  flag("logical_order", a.fLogicalOrder);
  flag("no_glyph_index", a.fNoGlyphIndex);
  key(out, "bidi_level");
  append_int(out, a.s.uBidiLevel);
  flag("override_direction", a.s.fOverrideDirection);
  flag("inhibit_sym_swap", a.s.fInhibitSymSwap);
  flag("char_shape", a.s.fCharShape);
  flag("digit_substitute", a.s.fDigitSubstitute);
  flag("inhibit_ligate", a.s.fInhibitLigate);
  flag("display_zwg", a.s.fDisplayZWG);
  flag("arabic_num_context", a.s.fArabicNumContext);
  flag("gcp_clusters", a.s.fGcpClusters);
}

// `[v0,...]` of `count` values, each written by `write(k)`.
template <class Write> void array(std::string &out, std::size_t count, Write write) {
  out += '[';
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) out += ',';
    write(k);
  }
  out += ']';
}

// What the Uniscribe entry points returned beyond the items' analyses and the
// glyphs' properties: "abc" (per item, null unless asked for), then per UTF-16
// code unit "log_clusters" and "can_glyph_alone", and "breaks" (null unless
// asked for), SCRIPT_LOGATTR's flags as columns of 0 and 1 under their names,
// as Result's int columns hold them (a traced text of 20,000 characters wrote
// 1.7 MB more as an object per code unit).
void append_props(std::string &out, const JsonProps &props) {
  key(out, "abc");
  if (props.widths) {
    array(out, props.items.size(), [&](std::size_t i) {
      const ABC &abc = props.items[i].abc;
      out += '[';
      append_int(out, abc.abcA);
      out += ',';
      append_int(out, abc.abcB);
      out += ',';
      append_int(out, abc.abcC);
      out += ']';
    });
  } else {
    out += "null";
  }
  key(out, "log_clusters");
  array(out, props.log_clusters.size(), [&](std::size_t u) { append_int(out, props.log_clusters[u]); });
  key(out, "can_glyph_alone");
  array(out, props.char_props.size(), [&](std::size_t u) { out += props.char_props[u].fCanGlyphAlone ? '1' : '0'; });
  key(out, "breaks");
  if (props.breaks.empty()) {
    out += "null";
    return;
  }
  const auto column = [&](const char *name, auto flag, bool first = false) {
    key(out, name, first);
    array(out, props.breaks.size(), [&](std::size_t u) { out += flag(props.breaks[u]) ? '1' : '0'; });
  };
  out += '{';
  column("soft_break", [](const SCRIPT_LOGATTR &b) { return b.fSoftBreak != 0; }, true);
  column("whitespace", [](const SCRIPT_LOGATTR &b) { return b.fWhiteSpace != 0; });
  column("char_stop", [](const SCRIPT_LOGATTR &b) { return b.fCharStop != 0; });
  column("word_stop", [](const SCRIPT_LOGATTR &b) { return b.fWordStop != 0; });
  column("invalid", [](const SCRIPT_LOGATTR &b) { return b.fInvalid != 0; });
  out += '}';
}

// `[{...},...]` of `count` rows, each row's members written by `write(i)`.
template <class Write> void rows(std::string &out, std::size_t count, Write write) {
  out += '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += '{';
    write(i);
    out += '}';
  }
  out += ']';
}

// `[{...},...]`, each element's members written by `write`.
template <class T, class Write> void objects(std::string &out, std::span<const T> values, Write write) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    out += '{';
    write(out, values[i]);
    out += '}';
  }
  out += ']';
}

}  // namespace

JsonProps json_props(const ShapedText &shaped) {
  return JsonProps{shaped.item_props, shaped.log_clusters, shaped.char_props, shaped.breaks, shaped.widths};
}

HeadJson head_json(const ResultHead &head) {
  HeadJson out;
  std::string &start = out.before_text;
  start += '{';
  key(start, "schema", true);
  append_json_string(start, kResultSchema);
  key(start, "version");
  append_int(start, kResultSchemaVersion);
  key(start, "font");
  append_font(start, head);
  key(start, "backend");
  append_json_string(start, head.backend);
  key(start, "backend_version");
  optional_string(start, head.backend_version);
  key(start, "text");
  key(out.options, "options");
  append_options(out.options, head);
  if (!head.location.empty()) {
    key(out.location, "location");
    objects(out.location, std::span<const JsonAxis>(head.location), append_axis);
  }
  return out;
}

void append_result_json(std::string &out, const HeadJson &head, const ResultBody &body) {
  out += head.before_text;
  out += body.text_json;
  out += head.options;
  key(out, "items");
  rows(out, body.rows.item_count(), [&](std::size_t i) {
    append_item(out, body.rows.item(i));
    if (body.props == nullptr) return;
    key(out, "analysis");
    if (i < body.props->items.size()) {
      out += '{';
      append_analysis(out, body.props->items[i].analysis);
      out += '}';
    } else {
      out += "null";
    }
  });
  key(out, "glyphs");
  rows(out, body.rows.glyph_count(), [&](std::size_t i) { append_glyph(out, body.rows.glyph(i)); });
  out += head.location;
  if (!body.warnings.empty() || !body.text_warnings.empty()) {
    key(out, "warnings");
    out += '[';
    bool first = true;
    for (std::span<const std::string> lines : {body.warnings, body.text_warnings}) {
      for (const std::string &line : lines) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, line);
      }
    }
    out += ']';
  }
  if (body.props != nullptr) append_props(out, *body.props);
  if (body.stages != nullptr) {
    key(out, "stages");
    objects(out, std::span<const JsonStage>(*body.stages), append_stage);
    // The names of the glyphs the stages hold, once each, by id.
    std::map<std::int64_t, std::string_view> names;
    for (const JsonStage &stage : *body.stages)
      for (const JsonStageGlyph &g : stage.changed) names.try_emplace(g.id, g.name);
    key(out, "stage_glyph_names");
    out += '{';
    for (const auto &[id, name] : names) {
      if (id != names.begin()->first) out += ',';
      out += '"';
      append_int(out, id);
      out += "\":";
      append_json_string(out, name);
    }
    out += '}';
  }
  out += '}';
}

}  // namespace tesvo
