// The state of the scriptable backend (fake_usp.cpp), shared by its entry points
// and by the control functions that configure it from a script (fake_script.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "abi/usp10.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace fake_usp {

constexpr OPENTYPE_TAG kTagLatn = 0x6E74616C;

struct ItemRule {
  int pos = 0;
  int script = 1;
  std::optional<int> level;
  std::optional<int> rtl;
  OPENTYPE_TAG tag = kTagLatn;
};

struct TagsRule {
  int at = -1;
  HRESULT hr = S_OK;
  std::optional<int> count;
  std::vector<OPENTYPE_TAG> list;
};

struct ShapeRule {
  int at = -1;
  std::optional<HRESULT> hr;
  std::vector<HRESULT> hrseq;
  int need = 0;
  std::optional<std::vector<long long>> glyphs;
  std::vector<long long> clust;
  std::optional<int> count;
  std::vector<long long> vis;    // each glyph's SCRIPT_VISATTR as its 16 bits, logical order
  std::vector<long long> chars;  // each character's SCRIPT_CHARPROP as its 16 bits
};

struct PlaceRule {
  int at = -1;
  HRESULT hr = S_OK;
  std::vector<long long> adv, du, dv;
  std::vector<long long> abc;  // the ABC widths written (default 0, total, 0)
};

struct StageRule {
  int at = -1;
  std::string name;
  std::vector<WORD> glyphs;
  int rc = 0;
  std::optional<int> count;
  bool null_glyphs = false;
};

struct TraceCountRule {
  int at = -1;
  int n = 0;
};

struct Config {
  HRESULT itemize_hr = S_OK;
  std::optional<int> itemize_count;
  std::optional<int> close;
  std::vector<ItemRule> items;
  std::vector<TagsRule> tags;
  std::vector<ShapeRule> shape;
  std::vector<PlaceRule> place;
  std::vector<StageRule> stages;
  std::vector<TraceCountRule> trace_counts;
  int fontbytes_rc = 0;
  int sleep_ms = 0;
};

// Everything below is guarded by g_mu.
extern std::mutex g_mu;
extern Config g_cfg;
extern std::string g_error;
extern std::string g_log;
extern std::string g_log_copy;
extern const std::uint8_t *g_font;
extern std::size_t g_font_len;
extern int g_live_caches;
extern int g_cache_serial;
extern bool g_recording;
extern std::vector<StageRule> g_recorded;

// Per request thread: the itemized text and the item being worked on.
extern thread_local const WCHAR *t_text;
extern thread_local int t_text_len;
extern thread_local int t_item;

}  // namespace fake_usp
