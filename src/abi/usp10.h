// Uniscribe OpenType records and entry points as laid out on Linux x86-64,
// plus the exports of the native port (font bytes and the shaping trace).
//
// The module, the bundled backend and the test backends all include this one
// header, so every layout is pinned here with static_asserts.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using WCHAR = char16_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using HRESULT = std::int32_t;
using OPENTYPE_TAG = std::uint32_t;
using HDC = void *;
using SCRIPT_CACHE = void *;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000EU);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057U);
inline constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000AU);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005U);
inline constexpr HRESULT USP_E_SCRIPT_NOT_IN_FONT = static_cast<HRESULT>(0x80040200U);

struct SCRIPT_CONTROL {
  DWORD uDefaultLanguage : 16;
  DWORD fContextDigits : 1;
  DWORD fInvertPreBoundDir : 1;
  DWORD fInvertPostBoundDir : 1;
  DWORD fLinkStringBefore : 1;
  DWORD fLinkStringAfter : 1;
  DWORD fNeutralOverride : 1;
  DWORD fNumericOverride : 1;
  DWORD fLegacyBidiClass : 1;
  DWORD fMergeNeutralItems : 1;
  DWORD fUseStandardBidi : 1;
  DWORD fReserved : 6;
};

struct SCRIPT_STATE {
  WORD uBidiLevel : 5;
  WORD fOverrideDirection : 1;
  WORD fInhibitSymSwap : 1;
  WORD fCharShape : 1;
  WORD fDigitSubstitute : 1;
  WORD fInhibitLigate : 1;
  WORD fDisplayZWG : 1;
  WORD fArabicNumContext : 1;
  WORD fGcpClusters : 1;
  WORD fReserved : 1;
  WORD fEngineReserved : 2;
};

struct SCRIPT_ANALYSIS {
  WORD eScript : 10;
  WORD fRTL : 1;
  WORD fLayoutRTL : 1;
  WORD fLinkBefore : 1;
  WORD fLinkAfter : 1;
  WORD fLogicalOrder : 1;
  WORD fNoGlyphIndex : 1;
  SCRIPT_STATE s;
};

struct SCRIPT_ITEM {
  int iCharPos;
  SCRIPT_ANALYSIS a;
};

struct OPENTYPE_FEATURE_RECORD {
  OPENTYPE_TAG tagFeature;
  LONG lParameter;
};

struct TEXTRANGE_PROPERTIES {
  OPENTYPE_FEATURE_RECORD *potfRecords;
  int cotfRecords;
};

struct SCRIPT_CHARPROP {
  WORD fCanGlyphAlone : 1;
  WORD reserved : 15;
};

struct SCRIPT_VISATTR {
  WORD uJustification : 4;
  WORD fClusterStart : 1;
  WORD fDiacritic : 1;
  WORD fZeroWidth : 1;
  WORD fReserved : 1;
  WORD fShapeReserved : 8;
};

struct SCRIPT_GLYPHPROP {
  SCRIPT_VISATTR sva;
  WORD reserved;
};

struct GOFFSET {
  LONG du;
  LONG dv;
};

struct ABC {
  int abcA;
  UINT abcB;
  int abcC;
};

using BYTE = std::uint8_t;

// What ScriptBreak says of each character: fSoftBreak, a line may break
// before it; fWhiteSpace, it is white space; fCharStop, a caret may stand
// before it (a grapheme boundary); fWordStop, a word starts at it.
struct SCRIPT_LOGATTR {
  BYTE fSoftBreak : 1;
  BYTE fWhiteSpace : 1;
  BYTE fCharStop : 1;
  BYTE fWordStop : 1;
  BYTE fInvalid : 1;
  BYTE fReserved : 3;
};

// Entry-point signatures, as function types so that both the loader's table
// and the backends' definitions are checked against them.
using ScriptItemizeOpenTypeFn = HRESULT(const WCHAR *pwcInChars, int cInChars, int cMaxItems,
                                        const SCRIPT_CONTROL *psControl,
                                        const SCRIPT_STATE *psState, SCRIPT_ITEM *pItems,
                                        OPENTYPE_TAG *pScriptTags, int *pcItems);

using ScriptShapeOpenTypeFn = HRESULT(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                      OPENTYPE_TAG tagScript, OPENTYPE_TAG tagLangSys,
                                      int *rcRangeChars,
                                      TEXTRANGE_PROPERTIES **rpRangeProperties, int cRanges,
                                      const WCHAR *pwcChars, int cChars, int cMaxGlyphs,
                                      WORD *pwLogClust, SCRIPT_CHARPROP *pCharProps,
                                      WORD *pwOutGlyphs, SCRIPT_GLYPHPROP *pOutGlyphProps,
                                      int *pcGlyphs);

using ScriptPlaceOpenTypeFn = HRESULT(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                      OPENTYPE_TAG tagScript, OPENTYPE_TAG tagLangSys,
                                      int *rcRangeChars,
                                      TEXTRANGE_PROPERTIES **rpRangeProperties, int cRanges,
                                      const WCHAR *pwcChars, WORD *pwLogClust,
                                      SCRIPT_CHARPROP *pCharProps, int cChars,
                                      const WORD *pwGlyphs, const SCRIPT_GLYPHPROP *pGlyphProps,
                                      int cGlyphs, int *piAdvance, GOFFSET *pGoffset, ABC *pABC);

using ScriptFreeCacheFn = HRESULT(SCRIPT_CACHE *psc);

// Optional for a backend: the break opportunities of an item's characters.
using ScriptBreakFn = HRESULT(const WCHAR *pwcChars, int cChars, const SCRIPT_ANALYSIS *psa,
                              SCRIPT_LOGATTR *psla);

using ScriptGetFontScriptTagsFn = HRESULT(HDC hdc, SCRIPT_CACHE *psc, SCRIPT_ANALYSIS *psa,
                                          int cMaxTags, OPENTYPE_TAG *pScriptTags, int *pcTags);

// The port's own exports.
using usp_set_font_bytes_fn = int(const std::uint8_t *bytes, std::size_t length);
using usp_clear_font_bytes_fn = void();
using usp_trace_begin_fn = void();
using usp_trace_count_fn = int();
using usp_trace_stage_fn = int(int index, char *name, int name_capacity, int *glyph_count,
                               const std::uint16_t **glyphs);
using usp_trace_stop_fn = void();
// Which request options the backend applies (bits below); a backend without
// this export is taken to apply none of them.
using usp_capabilities_fn = std::uint32_t();
inline constexpr std::uint32_t kUspAppliesFeatures = 1;  // OPENTYPE_FEATURE_RECORD ranges
inline constexpr std::uint32_t kUspAppliesScript = 2;    // tagScript
inline constexpr std::uint32_t kUspAppliesLanguage = 4;  // tagLangSys
inline constexpr std::uint32_t kUspAppliesVariations = 8;  // usp_set_variations
// The location of the variation axes that later requests shape at, as
// (OPENTYPE_TAG, value) pairs, the value in 16.16 fixed point; 0 pairs for the
// default instance. Returns 0 when set.
using usp_set_variations_fn = int(const std::int32_t *tags_and_values, int count);
// The current font's axes at that location: per fvar axis the value used
// (16.16) and the normalized coordinate (2.14); returns the number of axes
// (-1 without a font) and fills at most `capacity` entries of each array.
// The OpenType language system tags of a BCP 47 language code ("sr",
// "zh-Hant"), the backend's preference first: returns their number (-1 for
// a code that names no language) and fills at most `capacity` of them.
using usp_language_tags_fn = int(const char *bcp47, OPENTYPE_TAG *tags, int capacity);
using usp_variation_coords_fn = int(std::int32_t *design, std::int32_t *normalized, int capacity);
// What the backend is built on, as one line of text (for the bundled backend
// "HarfBuzz 10.2.0, ICU 76.1": the versions of the libraries it has loaded).
// Optional; the pointer stays valid for the life of the library.
using usp_backend_version_fn = const char *();

// What a trace stage is, as usp_trace_stage_glyphs reports it.
inline constexpr int USP_TRACE_KIND_CMAP = 0;        // the glyphs as substitution starts
inline constexpr int USP_TRACE_KIND_REORDER = 1;     // a shaper's own reordering phase
inline constexpr int USP_TRACE_KIND_SUBSTITUTE = 2;  // a GSUB lookup
inline constexpr int USP_TRACE_KIND_POSITION = 3;    // a positioning step; carries positions
inline constexpr int USP_TRACE_KIND_FINAL = 4;       // the shaped glyphs; carries positions
inline constexpr int USP_TRACE_KIND_NORMALIZE = 5;   // a round of normalizing the characters

// One glyph of a stage: its id, the cluster the shaper gave it at that
// moment (a UTF-16 offset into the item) and, in stages of the two kinds that
// carry positions, its advance and offsets in font units as the shaper held
// them (0 in the other stages).
struct USP_TRACE_GLYPH {
  DWORD glyph;
  DWORD cluster;
  LONG advance;
  LONG x_offset;
  LONG y_offset;
};

struct USP_TRACE_STAGE_GLYPHS {
  int kind;                      // USP_TRACE_KIND_*
  int glyph_count;
  const USP_TRACE_GLYPH *glyphs;  // owned by the port, as usp_trace_stage's ids
};

// Optional: the stage of the same index as usp_trace_stage, with clusters,
// positions and kind. 0 when the stage is delivered.
using usp_trace_stage_glyphs_fn = int(int index, USP_TRACE_STAGE_GLYPHS *stage);

// Optional: the stage of the same index as usp_trace_stage, as the change it
// made to the stage before it of the same item: that stage's glyphs
// [start, stop) replaced by the `changed_count` glyphs given, which are this
// stage's glyphs from `start` on. A stage of a kind that carries positions
// and one of a kind that does not share no glyph: the later replaces them
// all. The first stage of an item (first = 1) replaces nothing in an empty run. The name is NUL-ended; the name and the
// glyphs are owned by the port, as usp_trace_stage's ids. 0 when the stage is
// delivered.
struct USP_TRACE_STAGE_CHANGE {
  int kind;         // USP_TRACE_KIND_*
  int glyph_count;  // the glyphs of the whole stage
  int first;
  int start;
  int stop;
  int changed_count;
  const USP_TRACE_GLYPH *glyphs;
  const char *name;
};

using usp_trace_stage_change_fn = int(int index, USP_TRACE_STAGE_CHANGE *change);

// Optional: for the stage of the same index as usp_trace_stage, when it is a
// contextual or chaining lookup, the lookups its rules called (indices in the
// same table's lookup list), in the order first called, each once, calls
// made by the lookups called included. Returns their number (0 for any other
// stage, -1 for an index out of range) and points `lookups` at them, owned by
// the port as usp_trace_stage's ids.
using usp_trace_stage_nested_fn = int(int index, const std::uint16_t **lookups);

// Why the port did not trace the last item: the reason's length, 0 when it
// traced it; the reason is copied as a NUL-ended string of at most
// capacity - 1 bytes.
using usp_trace_refusal_fn = int(char *message, int capacity);

}  // extern "C"

// Layout checks: these records cross the library boundary byte for byte.
static_assert(sizeof(SCRIPT_CONTROL) == 4);
static_assert(sizeof(SCRIPT_STATE) == 2);
static_assert(sizeof(SCRIPT_ANALYSIS) == 4);
static_assert(sizeof(SCRIPT_ITEM) == 8);
static_assert(offsetof(SCRIPT_ITEM, a) == 4);
static_assert(sizeof(OPENTYPE_FEATURE_RECORD) == 8);
static_assert(sizeof(TEXTRANGE_PROPERTIES) == 16);
static_assert(offsetof(TEXTRANGE_PROPERTIES, cotfRecords) == 8);
static_assert(sizeof(SCRIPT_CHARPROP) == 2);
static_assert(sizeof(SCRIPT_VISATTR) == 2);
static_assert(sizeof(SCRIPT_GLYPHPROP) == 4);
static_assert(sizeof(GOFFSET) == 8);
static_assert(sizeof(ABC) == 12);
static_assert(sizeof(SCRIPT_LOGATTR) == 1);
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(USP_TRACE_GLYPH) == 20);
static_assert(offsetof(USP_TRACE_GLYPH, cluster) == 4);
static_assert(offsetof(USP_TRACE_GLYPH, y_offset) == 16);
static_assert(sizeof(USP_TRACE_STAGE_GLYPHS) == 16);
static_assert(offsetof(USP_TRACE_STAGE_GLYPHS, glyph_count) == 4);
static_assert(offsetof(USP_TRACE_STAGE_GLYPHS, glyphs) == 8);
static_assert(sizeof(USP_TRACE_STAGE_CHANGE) == 40);
static_assert(offsetof(USP_TRACE_STAGE_CHANGE, changed_count) == 20);
static_assert(offsetof(USP_TRACE_STAGE_CHANGE, glyphs) == 24);
static_assert(offsetof(USP_TRACE_STAGE_CHANGE, name) == 32);

// Bit positions, checked at compile time. Clang 14 cannot bit_cast bit-fields
// in constant expressions; the GCC build checks them.
#if !defined(__clang__)
namespace usp10_layout {
template <class T, class U> constexpr U bits(T value) { return __builtin_bit_cast(U, value); }

constexpr SCRIPT_STATE state_with_level(unsigned level) {
  SCRIPT_STATE s{};
  s.uBidiLevel = static_cast<WORD>(level & 31U);
  return s;
}
constexpr SCRIPT_STATE state_with_arabic_num_context() {
  SCRIPT_STATE s{};
  s.fArabicNumContext = 1;
  return s;
}
constexpr SCRIPT_ANALYSIS analysis_with_rtl() {
  SCRIPT_ANALYSIS a{};
  a.fRTL = 1;
  return a;
}
constexpr SCRIPT_ANALYSIS analysis_with_logical_order() {
  SCRIPT_ANALYSIS a{};
  a.fLogicalOrder = 1;
  return a;
}
constexpr SCRIPT_VISATTR visattr_with_cluster_start() {
  SCRIPT_VISATTR v{};
  v.fClusterStart = 1;
  return v;
}
constexpr SCRIPT_CONTROL control_with_standard_bidi() {
  SCRIPT_CONTROL c{};
  c.fUseStandardBidi = 1;
  return c;
}

static_assert(bits<SCRIPT_STATE, std::uint16_t>(state_with_level(31)) == 0x001F);
static_assert(bits<SCRIPT_STATE, std::uint16_t>(state_with_arabic_num_context()) == 0x0800);
static_assert(bits<SCRIPT_ANALYSIS, std::uint32_t>(analysis_with_rtl()) == 0x0400);
static_assert(bits<SCRIPT_ANALYSIS, std::uint32_t>(analysis_with_logical_order()) == 0x4000);
static_assert(bits<SCRIPT_VISATTR, std::uint16_t>(visattr_with_cluster_start()) == 0x0010);
constexpr SCRIPT_LOGATTR logattr_with_char_stop() {
  SCRIPT_LOGATTR l{};
  l.fCharStop = 1;
  return l;
}
static_assert(bits<SCRIPT_LOGATTR, std::uint8_t>(logattr_with_char_stop()) == 0x04);
static_assert(bits<SCRIPT_CONTROL, std::uint32_t>(control_with_standard_bidi()) == 0x02000000);
}  // namespace usp10_layout
#endif

// dflt, the default language system, packed with its first character low.
inline constexpr OPENTYPE_TAG kTagDflt = 0x746C6664;
