// The package's result schema ("tesvo-result"), written once: tesvo --batch's
// records from the engine's shaped texts and Result.to_dict() and to_json()
// from a Result the package holds both come through append_result_json. The
// layout is json.dumps's with separators=(",", ":") and ensure_ascii=False;
// keys in the schema's order (docs/json.md).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "abi/usp10.h"
#include "shape/session.h"

namespace tesvo {

inline constexpr std::string_view kResultSchema = "tesvo-result";
inline constexpr int kResultSchemaVersion = 6;

// An axis of the location: its tag, and its two numbers as their JSON text.
struct JsonAxis {
  std::string tag;
  std::string value;
  std::string normalized;
};

// What every text shaped with one font and one set of options shares.
struct ResultHead {
  std::optional<std::string> path;    // the font's file, or else
  std::optional<std::string> sha256;  // the hash of its bytes
  std::int64_t face = 0;
  std::string family;
  std::int64_t upem = 0;
  std::int64_t glyph_count = 0;
  std::string backend;
  std::optional<std::string> backend_version;
  std::string direction;
  std::optional<std::string> features, script, language, variations;
  std::vector<JsonAxis> location;
};

struct JsonItem {
  std::int64_t start, end;  // str indices
  std::int64_t level;
  bool rtl;
  std::string script_tag;  // UTF-8
  std::int64_t script;
  bool continues;
};

struct JsonGlyph {
  std::int64_t id, cluster, advance, du, dv, x_offset, y_offset, item;
  std::uint16_t props;    // SCRIPT_VISATTR, as packed_visattr packs it
  std::string_view name;  // UTF-8 (an invalid sequence is written as U+FFFD)
};

struct JsonStageGlyph {
  std::int64_t id;
  std::optional<std::int64_t> cluster, advance, x_offset, y_offset;
  std::string name;
  bool operator==(const JsonStageGlyph &) const = default;
};

// A stage as the change it made to the stage before it of its item: that
// stage's glyphs [start, stop) replaced by `changed`; `count` glyphs in all.
struct JsonStage {
  std::int64_t item;
  std::optional<std::string> kind;
  std::string name;
  std::int64_t count = 0, start = 0, stop = 0;
  std::vector<JsonStageGlyph> changed;
  std::vector<std::int64_t> nested;  // the lookups a contextual lookup called
};

// A result's items and glyphs, read as they are written: no copy of a
// shaped text's records is made for its line.
class ResultRows {
 public:
  virtual ~ResultRows() = default;
  virtual std::size_t item_count() const = 0;
  virtual JsonItem item(std::size_t i) const = 0;
  virtual std::size_t glyph_count() const = 0;
  // The name it holds stays valid until the next call.
  virtual JsonGlyph glyph(std::size_t i) const = 0;
};

// The backend's Uniscribe outputs of one result (ShapedText's) beyond what
// its glyph rows hold, as the schema writes them: per item, and per UTF-16
// code unit of the text, as the backend returned them.
struct JsonProps {
  std::span<const ItemProps> items;
  std::span<const WORD> log_clusters;
  std::span<const SCRIPT_CHARPROP> char_props;
  std::span<const SCRIPT_LOGATTR> breaks;  // empty: not asked for
  bool widths = false;  // the items' ABC widths were asked for (else written null)
};

// A shaped text's outputs.
JsonProps json_props(const ShapedText &shaped);

// SCRIPT_JUSTIFY's member of `value` (0 to 15) by the name Microsoft's
// documentation gives it ("SCRIPT_JUSTIFY_ARABIC_KASHIDA"), and back (-1 for
// a name that is none of them).
std::string_view justification_name(unsigned value);
std::int64_t justification_value(std::string_view name);

// The text of one result, as the schema has its parts.
struct ResultBody {
  std::string_view text_json;  // the text as a JSON string, quotes included
  const ResultRows &rows;
  std::span<const std::string> warnings;       // the options' own, first
  std::span<const std::string> text_warnings;  // then the text's
  const std::vector<JsonStage> *stages = nullptr;  // null: not traced
  const JsonProps *props = nullptr;                 // null: none (a result made otherwise)
};

// What every record of one head shares, written once: the JSON before the
// text, the options member and the location member (empty for no location).
struct HeadJson {
  std::string before_text;
  std::string options;
  std::string location;
};
HeadJson head_json(const ResultHead &head);

void append_result_json(std::string &out, const HeadJson &head, const ResultBody &body);

}  // namespace tesvo
