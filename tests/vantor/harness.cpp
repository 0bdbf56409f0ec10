// The libvantor test helpers: font files, UTF-16 text, itemizing and shaping
// as the module calls the backend, and hb-shape's output parsed as the oracle.
#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace vantor_test {

std::string font_path(std::string_view file_name) {
  if (file_name.starts_with('/')) return std::string(file_name);
  return std::string(VANTOR_TEST_FONT_DIR) + "/" + std::string(file_name);
}

std::vector<std::uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::u16string utf16(const std::u32string &code_points) {
  std::u16string out;
  for (char32_t c : code_points) {
    if (c <= 0xFFFF) {
      out.push_back(static_cast<char16_t>(c));
      continue;
    }
    out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
  }
  return out;
}

std::u16string utf16(std::string_view utf8) {
  std::u32string code_points;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i++]);
    const int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = more == 0 ? lead : lead & (0x3F >> more);
    for (int k = 0; k < more; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i++]) & 0x3F);
    code_points.push_back(c);
  }
  return utf16(code_points);
}

std::vector<Item> itemize(std::u16string_view text, bool rtl, HRESULT *hr) {
  const int n = static_cast<int>(text.size());
  const int max_items = std::max(16, 2 * n + 8);
  std::vector<SCRIPT_ITEM> items(static_cast<std::size_t>(max_items) + 1);
  std::vector<OPENTYPE_TAG> tags(static_cast<std::size_t>(max_items));
  SCRIPT_CONTROL control{};
  SCRIPT_STATE state{};
  state.uBidiLevel = rtl ? 1 : 0;
  state.fArabicNumContext = rtl ? 1 : 0;
  int count = 0;
  const HRESULT result = ScriptItemizeOpenType(text.data(), n, max_items, &control, &state,
                                               items.data(), tags.data(), &count);
  if (hr != nullptr) *hr = result;
  std::vector<Item> out;
  for (std::size_t k = 0; result == S_OK && k < static_cast<std::size_t>(count); ++k) {
    out.push_back(Item{items[k].iCharPos, items[k + 1].iCharPos, items[k].a, tags[k]});
  }
  return out;
}

Shaped shape_item(SCRIPT_CACHE *cache, std::u16string_view text, const Item &item,
                  const ShapeOptions &options) {
  Shaped out;
  SCRIPT_ANALYSIS analysis = item.analysis;
  OPENTYPE_TAG font_tags[8] = {};
  int tag_count = 0;
  const bool found = ScriptGetFontScriptTags(nullptr, cache, &analysis, 8, font_tags,
                                             &tag_count) == S_OK && tag_count > 0;
  out.tag = options.script_tag ? options.script_tag
            : found            ? font_tags[0]
            : item.tag         ? item.tag
                               : kTagDflt;
  analysis.fLogicalOrder = options.logical_order ? 1 : 0;

  std::vector<int> chars = options.range_chars;
  auto records = options.range_features;
  std::vector<TEXTRANGE_PROPERTIES> properties;
  for (auto &list : records) properties.push_back({list.data(), static_cast<int>(list.size())});
  std::vector<TEXTRANGE_PROPERTIES *> pointers;
  for (auto &property : properties) pointers.push_back(&property);
  const int ranges = static_cast<int>(chars.size());
  int *range_chars = ranges ? chars.data() : nullptr;
  TEXTRANGE_PROPERTIES **range_properties = ranges ? pointers.data() : nullptr;

  const int n = item.end - item.start;
  const WCHAR *text_start = text.data() + item.start;
  out.log_clust.assign(static_cast<std::size_t>(n), 0);
  out.char_props.assign(static_cast<std::size_t>(n), {});
  int count = 0;
  for (int max_glyphs = std::max(16, 3 * n + 8);; max_glyphs *= 2) {
    out.glyphs.assign(static_cast<std::size_t>(max_glyphs), 0);
    out.glyph_props.assign(static_cast<std::size_t>(max_glyphs), {});
    out.shape_hr = ScriptShapeOpenType(nullptr, cache, &analysis, out.tag, options.language,
                                       range_chars, range_properties, ranges, text_start, n,
                                       max_glyphs, out.log_clust.data(), out.char_props.data(),
                                       out.glyphs.data(), out.glyph_props.data(), &count);
    if (out.shape_hr != E_OUTOFMEMORY || max_glyphs > 65536) break;
  }
  if (out.shape_hr != S_OK) return out;
  out.glyphs.resize(static_cast<std::size_t>(count));
  out.glyph_props.resize(static_cast<std::size_t>(count));
  out.advances.assign(static_cast<std::size_t>(count), 0);
  out.offsets.assign(static_cast<std::size_t>(count), {});
  out.place_hr = ScriptPlaceOpenType(
      nullptr, cache, &analysis, out.tag, options.language, range_chars, range_properties,
      ranges, text_start, out.log_clust.data(), out.char_props.data(), n, out.glyphs.data(),
      out.glyph_props.data(), count, out.advances.data(), out.offsets.data(), &out.abc);
  return out;
}

Shaped shape_text(SCRIPT_CACHE *cache, std::u16string_view text, bool rtl,
                  const ShapeOptions &options) {
  const std::vector<Item> items = itemize(text, rtl);
  if (items.size() != 1) throw std::runtime_error("the text must make one item");
  return shape_item(cache, text, items[0], options);
}

FontSession::FontSession(std::string_view file_name) : bytes_(read_file(font_path(file_name))) {
  if (usp_set_font_bytes(bytes_.data(), bytes_.size()) != 0) throw std::runtime_error("font");
}

FontSession::~FontSession() {
  ScriptFreeCache(&cache_);
  usp_clear_font_bytes();
}

namespace {

// Runs hb-shape on the text's code points, in the C locale (no language from
// the environment), and returns what it printed. The text is a whole text, as
// an item that is alone in it (--bot --eot).
std::string run_hb_shape(const std::string &options, const std::string &font_file,
                         std::u16string_view text) {
  std::string command = "LC_ALL=C hb-shape --font-funcs=ot --no-glyph-names --bot --eot " + options +
                        " '" + font_file + "' -u ";
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    char hex[16];
    std::snprintf(hex, sizeof hex, i ? ",%X" : "%X", static_cast<unsigned>(c));
    command += hex;
  }
  const auto closer = [](FILE *pipe) { pclose(pipe); };
  const std::unique_ptr<FILE, decltype(closer)> pipe(popen((command + " 2>/dev/null").c_str(), "r"),
                                                     closer);
  std::string out;
  char chunk[4096];
  for (std::size_t got; pipe && (got = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) {
    out.append(chunk, got);
  }
  return out;
}

// "[36=0+599|1424=0@63,-233+0]": glyph=cluster, @x,y offset, +x advance.
std::vector<OracleGlyph> parse_glyph_buffer(std::string_view buffer) {
  std::vector<OracleGlyph> glyphs;
  if (!buffer.starts_with('[')) return glyphs;
  std::string text(buffer.substr(1, buffer.find(']') - 1));
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('|', at);
    if (end == std::string::npos) end = text.size();
    const std::string field = text.substr(at, end - at);
    OracleGlyph g;
    std::sscanf(field.c_str(), "%u=%u", &g.g, &g.cl);
    if (std::size_t o = field.find('@'); o != std::string::npos) {
      std::sscanf(field.c_str() + o, "@%d,%d", &g.dx, &g.dy);
    }
    if (std::size_t a = field.find('+'); a != std::string::npos) {
      std::sscanf(field.c_str() + a, "+%d,%d", &g.ax, &g.ay);
    }
    glyphs.push_back(g);
    at = end + 1;
  }
  return glyphs;
}

}  // namespace

std::vector<OracleTraceLine> hb_shape_trace(const std::string &font_file, std::u16string_view text) {
  const std::string out = run_hb_shape("--trace", font_file, text);
  std::vector<OracleTraceLine> lines;
  constexpr std::string_view kTrace = "trace: ", kBuffer = "\tbuffer: ";
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string_view line(out.data() + at, end - at);
    at = end + 1;
    if (!line.starts_with(kTrace)) {
      if (line.starts_with('[')) lines.push_back({"", parse_glyph_buffer(line)});
      continue;
    }
    const std::size_t buffer = line.find(kBuffer);
    if (buffer == std::string_view::npos) continue;
    lines.push_back({std::string(line.substr(kTrace.size(), buffer - kTrace.size())),
                     parse_glyph_buffer(line.substr(buffer + kBuffer.size()))});
  }
  return lines;
}

std::vector<OracleGlyph> hb_shape(const std::string &font_file, std::u16string_view text,
                                  const std::string &extra) {
  const std::string json = run_hb_shape("--output-format=json " + extra, font_file, text);
  std::vector<OracleGlyph> glyphs;
  const char *format = "{\"g\":%u,\"cl\":%u,\"dx\":%d,\"dy\":%d,\"ax\":%d,\"ay\":%d}";
  for (std::size_t at = json.find('{'); at != std::string::npos; at = json.find('{', at + 1)) {
    OracleGlyph g;
    if (std::sscanf(json.c_str() + at, format, &g.g, &g.cl, &g.dx, &g.dy, &g.ax, &g.ay) != 6) {
      return {};
    }
    glyphs.push_back(g);
  }
  return glyphs;
}

std::vector<WORD> ids(const std::vector<OracleGlyph> &glyphs) {
  std::vector<WORD> out;
  for (const OracleGlyph &glyph : glyphs) out.push_back(static_cast<WORD>(glyph.g));
  return out;
}

}  // namespace vantor_test
