// The fake's control functions (always exported; a test opens the same path with
// ctypes and so reaches the instance that the module loaded):
//   void fake_configure(const char *script)  reset all state and the log, apply a script
//   const char *fake_error(void)             "" or the first script error of that configure
//   const char *fake_log(void)               the calls since then, one line per call
//   int fake_live_caches(void)               script caches allocated and not yet freed
//
// Script: lines separated by newlines or ';', '#' starts a comment. A line is a directive
// and key=value words. Numbers are decimal or 0x-hex and may be negative; results may also
// be named (S_OK, E_OUTOFMEMORY, E_INVALIDARG, E_FAIL, E_PENDING); a tag is 1 to 4
// characters (space padded) unless it starts with a digit, then it is a number; lists are
// comma-separated (an empty value is an empty list). "at=K" picks the K-th item that the
// module asks ScriptGetFontScriptTags about since the last ScriptItemizeOpenType on the
// calling thread (0-based); a line without "at" serves every item without a line of its own.
//
//   itemize [hr=H] [count=N] [close=P]
//       result H (the entries are written anyway); *pcItems = N instead of the item count
//       (entries written never exceed cMaxItems + 1); close: iCharPos of the closing entry
//       (default cInChars). More items than cMaxItems without count: E_OUTOFMEMORY.
//   item pos=P [script=E] [level=L] [rtl=0|1] [tag=T]
//       one item; the first such line replaces the default single item (pos 0, eScript 1,
//       tag 'latn'). level defaults to psState->uBidiLevel and rtl to the level's low bit;
//       the item's SCRIPT_STATE is *psState with that level.
//   tags [at=K] [hr=H] [count=N] [list=T,..]
//       ScriptGetFontScriptTags writes the list and *pcTags = N (default: list length) and
//       returns H (default S_OK; E_OUTOFMEMORY when the list exceeds cMaxTags).
//   shape [at=K] [hr=H] [hrseq=H,..] [need=G] [glyphs=g,..] [clust=c,..] [count=N]
//       ScriptShapeOpenType. hrseq: results of the item's 1st, 2nd, .. call, later calls
//       go on as configured otherwise; hr: result of every call; need: E_OUTOFMEMORY while
//       cMaxGlyphs < G; glyphs: ids in logical order (E_OUTOFMEMORY when more than
//       cMaxGlyphs); clust: log clusters, the last value repeating (default
//       c -> min(c, glyphs - 1)); count: the *pcGlyphs written (the glyphs written never
//       exceed cMaxGlyphs). Default: one glyph per code unit, id = code unit + first byte
//       of the font bytes set at that moment (0 without), read after the sleep; identity
//       log clusters. Without fLogicalOrder an fRTL item comes back in visual order.
//       vis: each glyph's SCRIPT_VISATTR as its 16 bits (logical order; default 0), chars:
//       each character's SCRIPT_CHARPROP as its 16 bits (default 0).
//   place [at=K] [hr=H] [adv=a,..] [du=d,..] [dv=d,..] [abc=a,b,c]
//       ScriptPlaceOpenType; defaults: advance 100 + glyph id, offsets 0; a short list
//       leaves the remaining glyphs at their defaults; abc: the ABC widths written when asked
//       for (default 0, the total advance, 0).
//   fontbytes rc=R      usp_set_font_bytes returns R and keeps the bytes only when R is 0
//   sleep ms=N          ScriptShapeOpenType sleeps N ms, holding no lock
//   stage [at=K] name=S [glyphs=g,..] [rc=R] [count=N] [null]
//       a trace stage recorded by each successful ScriptShapeOpenType of the item while
//       recording (usp_trace_begin drops what was recorded and starts recording). The name
//       takes \xHH escapes (\x00 included) and is delivered raw, NUL-terminated only when
//       shorter than the buffer; count replaces the delivered glyph count; null delivers a
//       null glyph pointer; rc is the result. A failed ScriptShapeOpenType while recording
//       records a stage "discarded" with the one glyph 65535.
//   tracecount [at=K] n=N     usp_trace_count returns N instead of the recorded count
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_usp.h"

using namespace fake_usp;

namespace {

// ---- script parsing ----

bool parse_number(const std::string &v, long long &out) {
  static const std::map<std::string, long long> names = {
      {"S_OK", 0},
      {"E_OUTOFMEMORY", E_OUTOFMEMORY},
      {"E_INVALIDARG", E_INVALIDARG},
      {"E_FAIL", E_FAIL},
      {"E_PENDING", E_PENDING}};
  if (auto it = names.find(v); it != names.end()) {
    out = it->second;
    return true;
  }
  if (v.empty()) return false;
  char *end = nullptr;
  bool neg = v[0] == '-';
  unsigned long long u = std::strtoull(v.c_str() + (neg ? 1 : 0), &end, 0);
  if (*end != '\0' || end == v.c_str() + (neg ? 1 : 0)) return false;
  // 32-bit results are written as unsigned hex (0x8007000E); keep their bit pattern.
  long long s = static_cast<long long>(u);
  if (!neg && u > 0x7FFFFFFFULL && u <= 0xFFFFFFFFULL) s = static_cast<std::int32_t>(u);
  out = neg ? -s : s;
  return true;
}

bool parse_tag(const std::string &v, OPENTYPE_TAG &out) {
  if (!v.empty() && (std::isdigit(static_cast<unsigned char>(v[0])) || v[0] == '-')) {
    long long n;
    if (!parse_number(v, n)) return false;
    out = static_cast<OPENTYPE_TAG>(n);
    return true;
  }
  if (v.empty() || v.size() > 4) return false;
  out = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    unsigned char c = i < v.size() ? static_cast<unsigned char>(v[i]) : ' ';
    out |= static_cast<OPENTYPE_TAG>(c) << (8 * i);
  }
  return true;
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  if (s.empty()) return parts;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  return parts;
}

bool parse_list(const std::string &v, std::vector<long long> &out) {
  for (const std::string &p : split(v, ',')) {
    long long n;
    if (!parse_number(p, n)) return false;
    out.push_back(n);
  }
  return true;
}

bool unescape(const std::string &v, std::string &out) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\') {
      out += v[i];
      continue;
    }
    if (i + 3 >= v.size() || v[i + 1] != 'x' ||
        !std::isxdigit(static_cast<unsigned char>(v[i + 2])) ||
        !std::isxdigit(static_cast<unsigned char>(v[i + 3])))
      return false;
    out += static_cast<char>(std::stoi(v.substr(i + 2, 2), nullptr, 16));
    i += 3;
  }
  return true;
}

class Line {
 public:
  Line(const std::string &text, std::string &error) : error_(error), text_(text) {
    std::istringstream in(text);
    std::string word;
    in >> directive_;
    while (in >> word) {
      auto eq = word.find('=');
      if (eq == std::string::npos) {
        words_[word] = "";
      } else {
        words_[word.substr(0, eq)] = word.substr(eq + 1);
      }
    }
  }
  const std::string &directive() const { return directive_; }
  bool has(const char *key) const { return words_.count(key) != 0; }
  void fail(const std::string &why) {
    if (error_.empty()) error_ = why + " in line: " + text_;
  }
  // Rejects unknown words so that a typo in a test script cannot pass silently.
  void allow(std::initializer_list<const char *> keys) {
    for (const auto &w : words_) {
      if (std::none_of(keys.begin(), keys.end(), [&](const char *k) { return w.first == k; }))
        fail("unknown word '" + w.first + "'");
    }
  }
  template <class T> void num(const char *key, T &out) {
    if (!has(key)) return;
    long long n;
    if (!parse_number(words_[key], n)) return fail(std::string("bad number for ") + key);
    out = static_cast<T>(n);
  }
  template <class T> void num(const char *key, std::optional<T> &out) {
    if (!has(key)) return;
    T v{};
    num(key, v);
    out = v;
  }
  void list(const char *key, std::vector<long long> &out) {
    if (has(key) && !parse_list(words_[key], out))
      fail(std::string("bad list for ") + key);
  }
  template <class T> void list(const char *key, std::vector<T> &out) {
    std::vector<long long> raw;
    list(key, raw);
    for (long long v : raw) out.push_back(static_cast<T>(v));
  }
  void tag(const char *key, OPENTYPE_TAG &out) {
    if (has(key) && !parse_tag(words_[key], out)) fail(std::string("bad tag for ") + key);
  }
  void tags(const char *key, std::vector<OPENTYPE_TAG> &out) {
    for (const std::string &p : split(words_[key], ',')) {
      OPENTYPE_TAG t;
      if (!parse_tag(p, t)) return fail(std::string("bad tag list for ") + key);
      out.push_back(t);
    }
  }
  void text(const char *key, std::string &out) {
    if (has(key) && !unescape(words_[key], out)) fail(std::string("bad escape in ") + key);
  }

 private:
  std::string &error_;
  std::string text_;
  std::string directive_;
  std::map<std::string, std::string> words_;
};

void apply(Line &l, Config &c) {
  const std::string &d = l.directive();
  if (d == "itemize") {
    l.allow({"hr", "count", "close"});
    l.num("hr", c.itemize_hr);
    l.num("count", c.itemize_count);
    l.num("close", c.close);
  } else if (d == "item") {
    l.allow({"pos", "script", "level", "rtl", "tag"});
    ItemRule s;
    if (!l.has("pos")) l.fail("item needs pos");
    l.num("pos", s.pos);
    l.num("script", s.script);
    l.num("level", s.level);
    l.num("rtl", s.rtl);
    l.tag("tag", s.tag);
    c.items.push_back(s);
  } else if (d == "tags") {
    l.allow({"at", "hr", "count", "list"});
    TagsRule s;
    l.num("at", s.at);
    l.num("hr", s.hr);
    l.num("count", s.count);
    l.tags("list", s.list);
    c.tags.push_back(s);
  } else if (d == "shape") {
    l.allow({"at", "hr", "hrseq", "need", "glyphs", "clust", "count", "vis", "chars"});
    ShapeRule s;
    l.num("at", s.at);
    l.num("hr", s.hr);
    l.list("hrseq", s.hrseq);
    l.num("need", s.need);
    if (l.has("glyphs")) {
      s.glyphs.emplace();
      l.list("glyphs", *s.glyphs);
    }
    l.list("clust", s.clust);
    l.num("count", s.count);
    l.list("vis", s.vis);
    l.list("chars", s.chars);
    c.shape.push_back(s);
  } else if (d == "place") {
    l.allow({"at", "hr", "adv", "du", "dv", "abc"});
    PlaceRule s;
    l.num("at", s.at);
    l.num("hr", s.hr);
    l.list("adv", s.adv);
    l.list("du", s.du);
    l.list("dv", s.dv);
    l.list("abc", s.abc);
    c.place.push_back(s);
  } else if (d == "fontbytes") {
    l.allow({"rc"});
    l.num("rc", c.fontbytes_rc);
  } else if (d == "sleep") {
    l.allow({"ms"});
    l.num("ms", c.sleep_ms);
  } else if (d == "stage") {
    l.allow({"at", "name", "glyphs", "rc", "count", "null"});
    StageRule s;
    l.num("at", s.at);
    l.text("name", s.name);
    l.list("glyphs", s.glyphs);
    l.num("rc", s.rc);
    l.num("count", s.count);
    s.null_glyphs = l.has("null");
    c.stages.push_back(s);
  } else if (d == "tracecount") {
    l.allow({"at", "n"});
    TraceCountRule s;
    l.num("at", s.at);
    l.num("n", s.n);
    c.trace_counts.push_back(s);
  } else {
    l.fail("unknown directive");
  }
}

}  // namespace

// ---- control functions ----

FAKE_EXPORT void fake_configure(const char *script) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_cfg = Config{};
  g_error.clear();
  g_log.clear();
  g_font = nullptr;
  g_font_len = 0;
  g_live_caches = 0;
  g_cache_serial = 0;
  g_recording = false;
  g_recorded.clear();
  t_text = nullptr;
  t_item = -1;
  std::string text = script ? script : "";
  std::replace(text.begin(), text.end(), ';', '\n');
  std::istringstream in(text);
  std::string raw;
  while (std::getline(in, raw)) {
    raw = raw.substr(0, raw.find('#'));
    if (raw.find_first_not_of(" \t\r") == std::string::npos) continue;
    Line line(raw, g_error);
    apply(line, g_cfg);
  }
}

FAKE_EXPORT const char *fake_error(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_error.c_str();
}

FAKE_EXPORT const char *fake_log(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_log_copy = g_log;
  return g_log_copy.c_str();
}

FAKE_EXPORT int fake_live_caches(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_live_caches;
}
