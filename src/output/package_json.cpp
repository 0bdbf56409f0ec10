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

// The analysis with Microsoft's names for its fields, SCRIPT_STATE's inside.
void append_analysis(std::string &out, const SCRIPT_ANALYSIS &a) {
  const auto flag = [&](const char *name, unsigned value) {
    key(out, name);
    out += value != 0 ? "true" : "false";
  };
  key(out, "eScript", true);
  append_int(out, a.eScript);
  flag("fRTL", a.fRTL);
  flag("fLayoutRTL", a.fLayoutRTL);
  flag("fLinkBefore", a.fLinkBefore);
  flag("fLinkAfter", a.fLinkAfter);
  flag("fLogicalOrder", a.fLogicalOrder);
  flag("fNoGlyphIndex", a.fNoGlyphIndex);
  key(out, "s");
  out += '{';
  key(out, "uBidiLevel", true);
  append_int(out, a.s.uBidiLevel);
  flag("fOverrideDirection", a.s.fOverrideDirection);
  flag("fInhibitSymSwap", a.s.fInhibitSymSwap);
  flag("fCharShape", a.s.fCharShape);
  flag("fDigitSubstitute", a.s.fDigitSubstitute);
  flag("fInhibitLigate", a.s.fInhibitLigate);
  flag("fDisplayZWG", a.s.fDisplayZWG);
  flag("fArabicNumContext", a.s.fArabicNumContext);
  flag("fGcpClusters", a.s.fGcpClusters);
  out += '}';
}

// A row of small integers: `[v0,v1,...]`.
void int_row(std::string &out, std::initializer_list<std::int64_t> values) {
  out += '[';
  bool first = true;
  for (const std::int64_t v : values) {
    if (!first) out += ',';
    first = false;
    append_int(out, v);
  }
  out += ']';
}

// "uniscribe": per item its analysis and ABC widths; per glyph a row of
// uJustification, fClusterStart, fDiacritic, fZeroWidth; per code point a row
// of its log cluster and fCanGlyphAlone, then, where breaks were asked for,
// fSoftBreak, fWhiteSpace, fCharStop, fWordStop, fInvalid.
void append_props(std::string &out, const JsonProps &props) {
  key(out, "uniscribe");
  out += '{';
  key(out, "items", true);
  out += '[';
  for (std::size_t i = 0; i < props.items.size(); ++i) {
    if (i > 0) out += ',';
    out += '{';
    key(out, "analysis", true);
    out += '{';
    append_analysis(out, props.items[i].analysis);
    out += '}';
    key(out, "abc");
    const ABC &abc = props.items[i].abc;
    if (props.widths)
      int_row(out, {abc.abcA, abc.abcB, abc.abcC});
    else
      out += "null";
    out += '}';
  }
  out += ']';
  key(out, "glyphs");
  out += '[';
  for (std::size_t k = 0; k < props.glyphs.size(); ++k) {
    if (k > 0) out += ',';
    const SCRIPT_VISATTR &v = props.glyphs[k].sva;
    int_row(out, {v.uJustification, v.fClusterStart, v.fDiacritic, v.fZeroWidth});
  }
  out += ']';
  key(out, "chars");
  out += '[';
  const std::size_t count = props.char_units.empty() ? props.log_clusters.size() : props.char_units.size();
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) out += ',';
    const std::size_t u = props.char_units.empty() ? k : props.char_units[k];
    if (u >= props.log_clusters.size() || u >= props.char_props.size()) {
      out += "null";
      continue;
    }
    if (props.breaks.size() <= u) {
      int_row(out, {props.log_clusters[u], props.char_props[u].fCanGlyphAlone});
      continue;
    }
    const SCRIPT_LOGATTR &b = props.breaks[u];
    int_row(out, {props.log_clusters[u], props.char_props[u].fCanGlyphAlone, b.fSoftBreak, b.fWhiteSpace,
                  b.fCharStop, b.fWordStop, b.fInvalid});
  }
  out += "]}";
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

std::vector<std::uint32_t> code_point_units(std::u16string_view text) {
  std::vector<std::uint32_t> units;
  const auto high = [&](std::size_t u) {
    return text[u] >= 0xD800 && text[u] < 0xDC00 && u + 1 < text.size() && text[u + 1] >= 0xDC00 &&
           text[u + 1] < 0xE000;
  };
  bool pairs = false;
  for (std::size_t u = 0; u < text.size() && !pairs; ++u) pairs = high(u);
  if (!pairs) return units;
  for (std::size_t u = 0; u < text.size(); ++u) {
    units.push_back(static_cast<std::uint32_t>(u));
    if (high(u)) ++u;
  }
  return units;
}

JsonProps json_props(const ShapedText &shaped, std::span<const std::uint32_t> units) {
  return JsonProps{shaped.item_props, shaped.glyph_props, shaped.log_clusters, shaped.char_props, shaped.breaks, units,
                   shaped.widths};
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
  rows(out, body.rows.item_count(), [&](std::size_t i) { append_item(out, body.rows.item(i)); });
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
