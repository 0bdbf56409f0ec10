// The glyphs of a result as tesvo._engine hands them out: a sequence type
// over the engine's glyph records, or over one bytes object holding every
// glyph's fields in columns of 32-bit integers, that makes a Glyph record only
// when one is read.
#pragma once

#include "cpython/py_ref.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "shape/session.h"
#include "base/spare_mapping.h"

namespace tesvo::py {

// The columns, in this order, each `count` int32 values in native byte order;
// kProps is the glyph's SCRIPT_VISATTR as packed_visattr packs it. A record
// holds the columns before kProps, the glyph's name, then the four fields
// kProps unpacks to: its justification class's name, cluster start,
// diacritic, zero width.
enum GlyphColumn { kId, kCluster, kAdvance, kDu, kDv, kXOffset, kYOffset, kItem, kProps, kGlyphColumns };
inline constexpr int kIntFields = kProps;         // the record's fields that are columns as they are
inline constexpr int kNameField = kIntFields;     // then the name
inline constexpr int kPropFields = 4;             // then what kProps holds
inline constexpr int kGlyphFields = kNameField + 1 + kPropFields;
// Runs pickled before the glyph properties were kept hold kProps columns.
inline constexpr int kOldGlyphColumns = kProps;

// A shaped text's glyphs as the engine made them, with what turns a record
// into the package's fields: each item's direction, and the str index of each
// UTF-16 code unit (empty when every character is one unit).
struct GlyphRecords {
  std::vector<ShapedGlyphRecord, SpareAllocator<ShapedGlyphRecord>> glyphs;
  std::vector<std::uint8_t> item_rtl;
  std::vector<std::uint32_t> index;

  void read(std::size_t i, std::int32_t (&values)[kGlyphColumns]) const;
  // Every glyph's fields into kGlyphColumns columns of glyphs.size() values.
  void write_columns(std::int32_t *data) const;
};

// The glyph's name from the font's names (a tuple of str, by id), "gid<N>"
// beyond them; a new reference.
PyObject *glyph_name(PyObject *names, std::int32_t id);

// A GlyphRun's glyphs read in place, no record made: `visit(values, name)`
// for each in order (name a new reference, or null with an exception set,
// ending the walk). False, calling nothing, when `object` is no GlyphRun.
class GlyphVisitor {
 public:
  virtual ~GlyphVisitor() = default;
  virtual bool visit(const std::int32_t (&values)[kGlyphColumns], PyObject *name) = 0;
};
bool visit_glyph_run(PyObject *object, GlyphVisitor &visitor, bool &ok);

// Makes the GlyphRun type and its iterator's; a new reference to the first,
// or null with an exception set.
PyObject *make_glyph_run_type();

// A new GlyphRun over `columns` (a bytes object of kGlyphColumns * count int32s)
// and the font's glyph names (a tuple of str, by glyph id).
PyObject *new_glyph_run(PyObject *columns, PyObject *names);
// A new GlyphRun over a text's glyph records, which it owns; its columns are
// made from them when first asked for, and the records then let go.
PyObject *new_glyph_run(std::unique_ptr<GlyphRecords> records, PyObject *names);

}  // namespace tesvo::py
