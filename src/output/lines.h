// A shaped text written as one line of tesvo --batch's output: hb-shape's
// text notation of its glyphs, or a JSON Lines record in either schema (the
// compatibility call's document, or the package's result). A whole chunk of
// texts is written into one buffer, so that the interpreter sees one object
// per chunk instead of one per glyph. The notation and the package's schema
// have one writer each (output/notation.h, output/package_json.h), which
// Result.to_text and Result.to_dict use too.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/notation.h"
#include "output/package_json.h"
#include "shape/session.h"

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

// The text's glyphs in hb-shape's notation (output/notation.h).
void append_notation(std::string &out, const ShapedText &shaped, const LineSource &source, NotationParts parts);

// `{"line":N,"text":...,"result":` and then the document's JSON text (compact)
// and the closing brace.
void append_document_record(std::string &out, std::uint64_t line, const LineSource &source, std::string_view document);

// `{"line":N,"text":...,"result":{...}}` with the package's result: what every
// text shares (head), the warnings every text carries, then the text's own
// items, glyphs and the warnings of its cut items.
void append_result_record(std::string &out, std::uint64_t line, const ShapedText &shaped, const LineSource &source,
                          const HeadJson &head, std::span<const std::string> warnings);

// `{"line":N,"text":...,"error":"message"}`, line breaks in the message
// written as spaces.
void append_error_record(std::string &out, std::uint64_t line, const LineSource &source, std::string_view message);

// A tag's four characters, or nothing for tag 0 (the package's script_tag).
std::string tag_text(OPENTYPE_TAG tag);

// The warning of an item of the itemizer shaped as several (Result.warnings).
std::string cut_warning(const ItemCut &cut, const CodePointIndex &index);

}  // namespace tesvo
