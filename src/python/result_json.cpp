// The package's result schema for a Result the package holds (result_json),
// and the head every record of a tesvo --batch run shares: both read here from
// the package's records and written by the one writer, output/package_json.h.

#define PY_SSIZE_T_CLEAN
#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include "python/result_json.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <optional>
#include <string>
#include <vector>

#include "base/common_ends.h"
#include "json/escape.h"
#include "python/records.h"
#include "python/types/glyph_run.h"
#include "python/types/stage_glyphs.h"

namespace tesvo::py {

namespace {

// The field k of a record (a tuple or a sequence), a new reference.
PyObject *field(PyObject *record, Py_ssize_t k) { return PySequence_GetItem(record, k); }

bool utf8_of(PyObject *object, std::string &out) {
  if (!PyUnicode_Check(object)) {
    set_error(PyExc_TypeError, "result_json: expected str, not " + type_name(object));
    return false;
  }
  PyRef bytes(PyUnicode_AsEncodedString(object, "utf-8", "surrogatepass"));
  char *data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool optional_utf8(PyObject *object, std::optional<std::string> &out) {
  if (object == Py_None) {
    out.reset();
    return true;
  }
  return utf8_of(object, out.emplace());
}

bool int_of(PyObject *object, std::int64_t &out) {
  out = PyLong_AsLongLong(object);
  return !(out == -1 && PyErr_Occurred());
}

bool optional_int(PyObject *object, std::optional<std::int64_t> &out) {
  if (object == Py_None) {
    out.reset();
    return true;
  }
  return int_of(object, out.emplace());
}

bool bool_of(PyObject *object, bool &out) {
  const int truth = PyObject_IsTrue(object);
  out = truth == 1;
  return truth >= 0;
}

// A number as json.dumps writes it: its repr, and NaN, Infinity, -Infinity.
bool number_text(PyObject *object, std::string &out) {
  if (PyFloat_Check(object)) {
    const double value = PyFloat_AsDouble(object);
    if (value != value) return out = "NaN", true;
    if (value > 1.7976931348623157e308) return out = "Infinity", true;
    if (value < -1.7976931348623157e308) return out = "-Infinity", true;
  } else if (!PyLong_Check(object)) {
    set_error(PyExc_TypeError, "result_json: expected a number, not " + type_name(object));
    return false;
  }
  PyRef repr(PyObject_Repr(object));
  return repr && utf8_of(repr.get(), out);
}

// Reads field k of `record` with `read`.
template <class T, class Read> bool read_field(PyObject *record, Py_ssize_t k, T &out, Read read) {
  PyRef value(field(record, k));
  return value && read(value.get(), out);
}

// Every element of a sequence read with `read`.
template <class T, class Read> bool read_all(PyObject *sequence, std::vector<T> &out, Read read) {
  const Py_ssize_t count = PySequence_Size(sequence);
  if (count < 0) return false;
  out.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef element(PySequence_GetItem(sequence, i));
    if (!element || !read(element.get(), out[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

bool int_list(PyObject *sequence, std::vector<std::int64_t> &out) { return read_all(sequence, out, int_of); }

bool read_axis(PyObject *axis, JsonAxis &out) {
  return read_field(axis, 0, out.tag, utf8_of) && read_field(axis, 1, out.value, number_text) &&
         read_field(axis, 2, out.normalized, number_text);
}

// Item: start, end, level, rtl, script_tag, script, and `continues` by name
// (the engine's items keep it out of the tuple).
bool read_item(PyObject *item, JsonItem &out) {
  if (!(read_field(item, 0, out.start, int_of) && read_field(item, 1, out.end, int_of) &&
        read_field(item, 2, out.level, int_of) && read_field(item, 3, out.rtl, bool_of) &&
        read_field(item, 4, out.script_tag, utf8_of) && read_field(item, 5, out.script, int_of)))
    return false;
  PyRef continues(PyObject_GetAttrString(item, "continues"));
  return continues && bool_of(continues.get(), out.continues);
}

// A GlyphRun's glyphs, their names decoded once per id.
class RunGlyphs final : public GlyphVisitor {
 public:
  explicit RunGlyphs(GlyphRows &out) : out_(out) {}
  bool visit(const std::int32_t (&v)[kGlyphColumns], PyObject *name_object) override {
    PyRef name(name_object);
    if (!name) return false;
    auto [at, added] = out_.by_id.try_emplace(v[kId]);
    if (added && !utf8_of(name.get(), at->second)) return false;
    out_.glyphs.push_back({v[kId], v[kCluster], v[kAdvance], v[kDu], v[kDv], v[kXOffset], v[kYOffset], v[kItem],
                           static_cast<std::uint16_t>(v[kProps]), at->second});
    return true;
  }

 private:
  GlyphRows &out_;
};

// A glyph's properties by name (a record of fewer fields has none): the
// justification class's SCRIPT_JUSTIFY name, cluster start, diacritic, zero width.
bool read_glyph_props(PyObject *glyph, std::uint16_t &out) {
  out = 0;
  const Py_ssize_t fields = PySequence_Size(glyph);
  if (fields < 0) return false;
  if (fields < kGlyphFields) return true;
  std::string name;
  if (!read_field(glyph, kNameField + 1, name, utf8_of)) return false;
  const std::int64_t value = justification_value(name);
  if (value < 0) {
    set_error(PyExc_ValueError, "result_json: " + name + " is no SCRIPT_JUSTIFY member");
    return false;
  }
  out = static_cast<std::uint16_t>(value);
  const std::uint16_t bits[] = {kPackedClusterStart, kPackedDiacritic, kPackedZeroWidth};
  for (int k = 0; k < 3; ++k) {
    bool flag = false;
    if (!read_field(glyph, kNameField + 2 + k, flag, bool_of)) return false;
    if (flag) out = static_cast<std::uint16_t>(out | bits[k]);
  }
  return true;
}

bool read_glyph(PyObject *glyph, GlyphRows &rows) {
  JsonGlyph out{};
  std::int64_t *ints[] = {&out.id, &out.cluster, &out.advance, &out.du, &out.dv, &out.x_offset, &out.y_offset, &out.item};
  for (Py_ssize_t k = 0; k < kIntFields; ++k)
    if (!read_field(glyph, k, *ints[k], int_of)) return false;
  if (!read_field(glyph, kNameField, rows.names.emplace_back(), utf8_of) || !read_glyph_props(glyph, out.props))
    return false;
  out.name = rows.names.back();
  rows.glyphs.push_back(out);
  return true;
}

bool read_stage_glyph(PyObject *glyph, JsonStageGlyph &out) {
  std::optional<std::int64_t> *rest[] = {&out.cluster, &out.advance, &out.x_offset, &out.y_offset};
  if (!read_field(glyph, 0, out.id, int_of)) return false;
  for (Py_ssize_t k = 0; k < 4; ++k)
    if (!read_field(glyph, k + 1, *rest[k], optional_int)) return false;
  return read_field(glyph, 5, out.name, utf8_of);
}

// The stages of a result as the changes the schema writes. A stage the
// engine made (its glyphs a StageGlyphs) gives its change as the trace keeps
// it; any other is read whole and compared with the stage before it, which,
// when that one was not read whole, it replaces entirely. A stage whose item
// differs from the one before it starts its item anew.
class StageChanges {
 public:
  bool read(PyObject *stage, JsonStage &out) {
    if (!(read_field(stage, 0, out.item, int_of) && read_field(stage, 1, out.kind, optional_utf8) &&
          read_field(stage, 2, out.name, utf8_of) && read_field(stage, 4, out.nested, int_list)))
      return false;
    PyRef glyphs(field(stage, 3));
    if (!glyphs) return false;
    const bool starts_item = first_ || out.item != item_;
    first_ = false;
    item_ = out.item;
    if (starts_item) {
      before_count_ = 0;
      before_.clear();
      before_whole_ = true;
    }
    StageChangeView view{};
    if (stage_change_view(glyphs.get(), view)) {
      if (!changed_rows(view, out.changed)) return false;
      out.count = view.count;
      out.start = starts_item ? 0 : view.start;
      out.stop = starts_item ? 0 : view.stop;
      before_whole_ = false;
    } else {
      std::vector<JsonStageGlyph> whole;
      if (!read_all(glyphs.get(), whole, read_stage_glyph)) return false;
      out.count = static_cast<std::int64_t>(whole.size());
      auto [head, tail] = before_whole_ ? common_ends<JsonStageGlyph>(before_, whole)
                                         : std::pair<std::size_t, std::size_t>{0, 0};
      out.start = static_cast<std::int64_t>(head);
      out.stop = before_count_ - static_cast<std::int64_t>(tail);
      out.changed.assign(whole.begin() + static_cast<std::ptrdiff_t>(head),
                         whole.end() - static_cast<std::ptrdiff_t>(tail));
      before_ = std::move(whole);
      before_whole_ = true;
    }
    before_count_ = out.count;
    return true;
  }

 private:
  bool changed_rows(const StageChangeView &view, std::vector<JsonStageGlyph> &out) {
    out.resize(static_cast<std::size_t>(view.changed));
    for (Py_ssize_t k = 0; k < view.changed; ++k) {
      std::int32_t row[kRowFields];
      std::memcpy(row, view.rows + k * static_cast<Py_ssize_t>(sizeof row), sizeof row);
      JsonStageGlyph &g = out[static_cast<std::size_t>(k)];
      g.id = row[kRowId];
      if (row[kRowCluster] >= 0) g.cluster = row[kRowCluster];
      if (view.positioned) {
        g.advance = row[kRowAdvance];
        g.x_offset = row[kRowXOffset];
        g.y_offset = row[kRowYOffset];
      }
      auto [at, added] = names_.try_emplace(row[kRowId]);
      if (added) {
        PyRef name(glyph_name(view.names, row[kRowId]));
        if (!name || !utf8_of(name.get(), at->second)) return false;
      }
      g.name = at->second;
    }
    return true;
  }

  bool first_ = true;
  std::int64_t item_ = 0;
  std::int64_t before_count_ = 0;
  std::vector<JsonStageGlyph> before_;  // the stage before, when read whole
  bool before_whole_ = true;
  std::unordered_map<std::int32_t, std::string> names_;
};

}  // namespace

bool read_result_head(PyObject *font, PyObject *options, PyObject *location, ResultHead &out) {
  // FontInfo: path, sha256, face, family, upem, glyph_count, backend, backend_version.
  if (!(read_field(font, 0, out.path, optional_utf8) && read_field(font, 1, out.sha256, optional_utf8) &&
        read_field(font, 2, out.face, int_of) && read_field(font, 3, out.family, utf8_of) &&
        read_field(font, 4, out.upem, int_of) && read_field(font, 5, out.glyph_count, int_of) &&
        read_field(font, 6, out.backend, utf8_of) && read_field(font, 7, out.backend_version, optional_utf8)))
    return false;
  // Options: direction, features, script, language, variations.
  if (!(read_field(options, 0, out.direction, utf8_of) && read_field(options, 1, out.features, optional_utf8) &&
        read_field(options, 2, out.script, optional_utf8) && read_field(options, 3, out.language, optional_utf8) &&
        read_field(options, 4, out.variations, optional_utf8)))
    return false;
  return read_all(location, out.location, read_axis);
}

bool read_strings(PyObject *sequence, std::vector<std::string> &out) { return read_all(sequence, out, utf8_of); }

bool read_glyphs(PyObject *sequence, GlyphRows &out) {
  RunGlyphs run(out);
  bool ok = true;
  if (visit_glyph_run(sequence, run, ok)) return ok;
  const Py_ssize_t count = PySequence_Size(sequence);
  if (count < 0) return false;
  out.glyphs.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef glyph(PySequence_GetItem(sequence, i));
    if (!glyph || !read_glyph(glyph.get(), out)) return false;
  }
  return true;
}

namespace {

// Rows read from the package's records.
class RecordRows final : public ResultRows {
 public:
  RecordRows(const std::vector<JsonItem> &items, const GlyphRows &glyphs) : items_(items), glyphs_(glyphs) {}
  std::size_t item_count() const override { return items_.size(); }
  JsonItem item(std::size_t i) const override { return items_[i]; }
  std::size_t glyph_count() const override { return glyphs_.glyphs.size(); }
  JsonGlyph glyph(std::size_t i) const override { return glyphs_.glyphs[i]; }

 private:
  const std::vector<JsonItem> &items_;
  const GlyphRows &glyphs_;
};

}  // namespace

// A Result's Uniscribe outputs (its `uniscribe`, read through its `raw`
// records), copied into `out`, which the props view.
struct PropsCopy {
  ShapedText shaped;

  bool read(PyObject *outputs) {
    PyRef raw(PyObject_GetAttrString(outputs, "raw"));
    if (!raw) return false;
    PyRef items(PySequence_GetItem(raw.get(), 0)), glyphs(items ? PySequence_GetItem(raw.get(), 1) : nullptr),
        clusters(glyphs ? PySequence_GetItem(raw.get(), 2) : nullptr),
        chars(clusters ? PySequence_GetItem(raw.get(), 3) : nullptr),
        breaks(chars ? PySequence_GetItem(raw.get(), 4) : nullptr),
        widths(breaks ? PySequence_GetItem(raw.get(), 5) : nullptr);
    if (!widths) return false;
    shaped.widths = PyObject_IsTrue(widths.get()) == 1;
    std::vector<std::uint8_t> item_bytes;
    if (!(records_of(items.get(), item_bytes) && records_of(glyphs.get(), shaped.glyph_props) &&
          records_of(clusters.get(), shaped.log_clusters) && records_of(chars.get(), shaped.char_props)))
      return false;
    if (breaks.get() != Py_None && !records_of(breaks.get(), shaped.breaks)) return false;
    constexpr std::size_t kItemBytes = sizeof(SCRIPT_ANALYSIS) + sizeof(ABC);
    shaped.item_props.resize(item_bytes.size() / kItemBytes);
    for (std::size_t i = 0; i < shaped.item_props.size(); ++i) {
      std::memcpy(&shaped.item_props[i].analysis, item_bytes.data() + i * kItemBytes, sizeof(SCRIPT_ANALYSIS));
      std::memcpy(&shaped.item_props[i].abc, item_bytes.data() + i * kItemBytes + sizeof(SCRIPT_ANALYSIS), sizeof(ABC));
    }
    return true;
  }
};

// result_json(result) -> str: the Result's fields by position (font, text,
// items, glyphs, stages, options, location, warnings, uniscribe).
PyObject *result_json(PyObject *args) {
  PyObject *result;
  if (!PyArg_ParseTuple(args, "O:result_json", &result)) return nullptr;
  PyRef font(field(result, 0)), options(font ? field(result, 5) : nullptr), location(options ? field(result, 6) : nullptr);
  ResultHead head;
  if (!location || !read_result_head(font.get(), options.get(), location.get(), head)) return nullptr;
  std::string text, text_json;
  std::vector<JsonItem> items;
  GlyphRows glyphs;
  std::vector<std::string> warnings;
  if (!(read_field(result, 1, text, utf8_of) &&
        read_field(result, 2, items, [](PyObject *o, auto &v) { return read_all(o, v, read_item); }) &&
        read_field(result, 3, glyphs, read_glyphs) && read_field(result, 7, warnings, read_strings)))
    return nullptr;
  PyRef stages_of(field(result, 4));
  if (!stages_of) return nullptr;
  std::optional<std::vector<JsonStage>> stages;
  StageChanges changes;
  if (stages_of.get() != Py_None &&
      !read_all(stages_of.get(), stages.emplace(), [&](PyObject *o, JsonStage &out) { return changes.read(o, out); }))
    return nullptr;
  PyRef outputs(PyObject_Size(result) > 8 ? field(result, 8) : (Py_INCREF(Py_None), Py_None));
  if (!outputs) return nullptr;
  std::optional<PropsCopy> copy;
  std::optional<JsonProps> props;
  if (outputs.get() != Py_None) {
    if (!copy.emplace().read(outputs.get())) return nullptr;
    props = json_props(copy->shaped);
  }
  append_json_string(text_json, text);
  std::string out;
  append_result_json(out, head_json(head),
                     ResultBody{text_json, RecordRows(items, glyphs), warnings, {}, stages ? &*stages : nullptr,
                                props ? &*props : nullptr});
  return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
}

}  // namespace tesvo::py
