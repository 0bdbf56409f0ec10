// A shaped text written as one line of tesvo --batch's output: hb-shape's
// text notation of its glyphs, or a JSON Lines record in either schema (the
// compatibility call's document, or the package's result). A whole chunk of
// texts is written into one buffer, so that the interpreter sees one object
// per chunk instead of one per glyph. Every line is what the package's Python
// writers give for the same result (Result.to_text, json.dumps of
// Result.to_dict with separators=(",", ":") and ensure_ascii=False).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/session.h"

namespace tesvo {

// Where each UTF-16 code unit of a text falls among its code points (a Python
// str's indices), one past the end included; empty when every character is one
// code unit, so that the unit's index is the code point's.
struct CodePointIndex {
  std::span<const std::uint32_t> of_unit;
  std::uint32_t at(std::size_t unit) const {
    return of_unit.empty() ? static_cast<std::uint32_t>(unit) : of_unit[unit];
  }
};

// What a shaped text is written against: the text, its code point index and
// the font's glyph names by id (a name need not be UTF-8: an invalid sequence
// is written as U+FFFD, as the package's names tuple decodes it).
struct LineSource {
  std::u16string_view text;
  CodePointIndex index;
  std::span<const std::string> names;
};

// hb-shape's switches: --no-glyph-names, --no-clusters, --no-positions,
// --no-advances turn the parts off.
struct NotationParts {
  bool names = true;
  bool clusters = true;
  bool positions = true;
  bool advances = true;
};

// `[name=cluster@dx,dy+advance|...]`: the whole line in visual order (items
// placed by their bidi levels, rule L2), clusters as code point indices,
// offsets and advances in HarfBuzz's convention. Without advances each
// glyph's offset counts from the line's start, as hb-shape prints it.
void append_notation(std::string &out, const ShapedText &shaped, const LineSource &source, NotationParts parts);

// The fixed parts of a package-schema record, already JSON as the package
// writes them: `head` is everything before the text (from '{' up to and with
// `"text":`), `options` the `,"options":{...}` member, `location` the
// `,"location":[...]` member or nothing, `warnings` the warnings every text
// carries (JSON strings joined by commas) or nothing.
struct ResultFrame {
  std::string_view head;
  std::string_view options;
  std::string_view location;
  std::string_view warnings;
};

// `{"line":N,"text":...,"result":` and then the document's JSON text (compact)
// and the closing brace.
void append_document_record(std::string &out, std::uint64_t line, const LineSource &source, std::string_view document);

// `{"line":N,"text":...,"result":{...}}` with the package's result: the frame
// around the text's items, glyphs and the warnings of its cut items.
void append_result_record(std::string &out, std::uint64_t line, const ShapedText &shaped, const LineSource &source,
                          const ResultFrame &frame);

// `{"line":N,"text":...,"error":"message"}`, line breaks in the message
// written as spaces.
void append_error_record(std::string &out, std::uint64_t line, const LineSource &source, std::string_view message);

// A tag's four characters, or nothing for tag 0 (the package's script_tag).
std::string tag_text(OPENTYPE_TAG tag);

// The warning of an item of the itemizer shaped as several (Result.warnings).
std::string cut_warning(const ItemCut &cut, const CodePointIndex &index);

}  // namespace tesvo
