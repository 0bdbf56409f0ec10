// tesvo._engine, the native part of the tesvo package: its table of functions
// and its initialisation. Each function lives with its family (font_calls,
// shape_calls, batch_calls, parse_calls, records); like the compatibility
// module, they talk to the interpreter and leave the work to the engine
// beneath, which runs without the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include "cpython/py_boundary.h"  // first: Python.h comes before any standard header

#include <atomic>
#include <cstdint>
#include <string>

#include "python/calls.h"
#include "python/types/glyph_run.h"
#include "python/types/stage_glyphs.h"
#include "python/records.h"
#include "python/result_json.h"
#include "output/package_json.h"

namespace {

using tesvo::PyRef;
using namespace tesvo::py;

// The module is process-wide state, for the one interpreter that may import
// it: its types are made once, and an interpreter other than the one that
// made them must not use them.
std::atomic<std::int64_t> g_interpreter{-1};

// The module's functions, each guarded: no C++ exception reaches the interpreter.
template <PyObject *(*Function)(PyObject *)> PyObject *guarded_call(PyObject *, PyObject *args) {
  return tesvo::py::guarded([&] { return Function(args); });
}

PyMethodDef g_methods[] = {
    {"open", guarded_call<open_font>, METH_VARARGS,
     "open(data, index, backend) -> (session, upem, glyph_count, family, backend, backend_version)"},
    {"shape", guarded_call<shape_texts>, METH_VARARGS,
     "shape(session, texts, direction, features, script, language, variations, trace, names) -> list of results "
     "or messages"},
    {"document", guarded_call<document_texts>, METH_VARARGS,
     "document(session, texts, direction, features, script, language, variations, trace, path, compact) -> list of "
     "(ok, text)"},
    {"lines", guarded_call<batch_lines>, METH_VARARGS,
     "lines(session, texts, direction, features, script, language, variations, trace, first, form) -> (bytes, "
     "failed): tesvo --batch's lines for the texts"},
    {"notation", guarded_call<glyph_notation>, METH_VARARGS,
     "notation(glyphs, levels, names, clusters, positions, advances) -> str: Glyph records in hb-shape's notation, "
     "the items (by their bidi levels) in visual order"},
    {"visual_order", guarded_call<levels_visual_order>, METH_VARARGS,
     "visual_order(levels) -> list of indices: runs at these bidi levels left to right (rule L2)"},
    {"result_json", guarded_call<result_json>, METH_VARARGS,
     "result_json(result) -> str: a Result in the package's schema, compact (json.dumps with separators=(',', "
     "':') and ensure_ascii=False)"},
    {"glyph_names", guarded_call<font_glyph_names>, METH_VARARGS,
     "glyph_names(session) -> tuple of every glyph's name as HarfBuzz gives it"},
    {"layout_tags", guarded_call<font_layout_tags>, METH_VARARGS,
     "layout_tags(session) -> (gsub, gpos): [(script, has default language system, languages)]"},
    {"language_tag", guarded_call<language_tag>, METH_VARARGS,
     "language_tag(session, language) -> the language system tag the value selects, '' for the default"},
    {"coordinates", guarded_call<axis_coordinates>, METH_VARARGS,
     "coordinates(session, variations) -> [(design 16.16, normalized 2.14)] per axis at that location"},
    {"axis_tags", guarded_call<font_axis_tags>, METH_VARARGS,
     "axis_tags(data, index) -> tuple of the face's fvar axis tags as HarfBuzz takes the table"},
    {"feature_tags", guarded_call<font_feature_tags>, METH_VARARGS,
     "feature_tags(data, index) -> the feature tags the face can apply (GSUB, GPOS, a kern table), or None"},
    {"parse_features", guarded_call<parse_feature_list>, METH_VARARGS,
     "parse_features(text, ranges=False) -> [(tag, value)]: a feature list as the engine reads it (with "
     "ranges: their features after the whole-text ones)"},
    {"parse_variations", guarded_call<parse_variation_list>, METH_VARARGS,
     "parse_variations(text) -> [(tag, value)]: a location as the engine reads it"},
    {"record_types", guarded_call<record_types>, METH_VARARGS,
     "record_types(Glyph, Stage, StageGlyph) -> the Glyph class of the records GlyphRun hands out (a subclass of "
     "the NamedTuple Glyph reading its fields as slots); the trace's classes are kept. Called once"},
    {"unpack_items", guarded_call<unpack_items>, METH_VARARGS,
     "unpack_items(raw) -> bytes: per item 19 int32 columns, SCRIPT_ANALYSIS's and SCRIPT_STATE's fields and ABC's"},
    {"unpack_glyphs", guarded_call<unpack_glyphs>, METH_VARARGS,
     "unpack_glyphs(raw) -> bytes: per glyph 4 int32 columns, uJustification, fClusterStart, fDiacritic, fZeroWidth"},
    {"unpack_chars", guarded_call<unpack_chars>, METH_VARARGS,
     "unpack_chars(log_clusters, char_props, breaks) -> bytes: per UTF-16 code unit 7 int32 columns, the log "
     "cluster, fCanGlyphAlone, fSoftBreak, fWhiteSpace, fCharStop, fWordStop, fInvalid (-1 without breaks)"},
    {"analysis_fields", guarded_call<analysis_fields>, METH_VARARGS,
     "analysis_fields(bits) -> tuple of 16 ints: an item's SCRIPT_ANALYSIS and SCRIPT_STATE, field by field, from "
     "its four bytes as one number (Item._analysis)"},
    {"compat_rtl", guarded_call<compat_rtl>, METH_VARARGS,
     "compat_rtl(text) -> bool: whether shape_json's automatic direction makes the paragraph right to left"},
    {"first_strong_rtl", guarded_call<first_strong_rtl>, METH_VARARGS,
     "first_strong_rtl(text) -> bool: whether the package's automatic direction makes the paragraph right to left"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "tesvo._engine",
                            "The engine beneath the tesvo package: a held font, structured results.",
                            0, g_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__engine(void) {
  if (!tesvo::py::claim_interpreter(g_interpreter, "tesvo._engine")) return nullptr;
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", TESVO_VERSION) != 0) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "RESULT_SCHEMA", std::string(tesvo::kResultSchema).c_str()) != 0 ||
      PyModule_AddIntConstant(module.get(), "RESULT_SCHEMA_VERSION", tesvo::kResultSchemaVersion) != 0)
    return nullptr;
  // SCRIPT_JUSTIFY's member names by value, from the one table the schema writer and the
  // Glyph records name them with.
  PyRef names(PyTuple_New(16));
  if (!names) return nullptr;
  for (unsigned k = 0; k < 16; ++k) {
    const std::string_view name = tesvo::justification_name(k);
    PyObject *text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) return nullptr;
    PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(k), text);
  }
  if (PyModule_AddObject(module.get(), "JUSTIFICATION_NAMES", names.get()) != 0) return nullptr;
  names.release();
  if (!add_item_type(module.get())) return nullptr;
  PyObject *run_type = make_glyph_run_type();
  if (run_type == nullptr) return nullptr;
  if (PyModule_AddObject(module.get(), "GlyphRun", run_type) != 0) {
    Py_DECREF(run_type);
    return nullptr;
  }
  if (!add_stage_types(module.get())) return nullptr;
  return module.release();
}
