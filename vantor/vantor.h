/* libvantor: the bundled Uniscribe OpenType backend, built on HarfBuzz and ICU.
 *
 * The library exports the five Uniscribe OpenType entry points declared in
 * ffi/usp10.h, ScriptBreak (ICU's line, word and grapheme rules; the
 * White_Space property less the no-break spaces, line break class GL;
 * fInvalid never set), and functions of its own (usp_set_font_bytes,
 * usp_clear_font_bytes, usp_capabilities, usp_backend_version,
 * usp_set_variations, usp_variation_coords, usp_language_tags,
 * usp_trace_begin, usp_trace_count, usp_trace_stage, usp_trace_stage_glyphs,
 * usp_trace_stage_change, usp_trace_stage_nested, usp_trace_stop,
 * usp_trace_refusal).
 * This header documents the values that are the library's own choice: the
 * script numbers stored in SCRIPT_ANALYSIS.eScript, the failure codes of
 * usp_set_font_bytes, the bits of usp_capabilities and the names, kinds and
 * contents of the trace stages.
 *
 * Behaviour worth knowing when reading its results:
 *
 * - Itemization: bidi levels come from ICU's implementation of the Unicode
 *   Bidirectional Algorithm, with SCRIPT_STATE.uBidiLevel as the paragraph
 *   level, taken as it is (2 and above included). Three rules of the
 *   algorithm that ICU leaves out are applied around it: a nonspacing mark
 *   after a paired bracket keeps the bracket's level, an isolate initiator
 *   or PDI inside a directional override takes the override's level, and
 *   bracket pairing stops when the 63-entry stack is full. Paragraph separators (U+2029, CR, LF, ...) end a paragraph,
 *   and every paragraph is resolved at that same level. With
 *   fOverrideDirection set, every character takes uBidiLevel. Levels above
 *   31 do not fit the 5-bit uBidiLevel field and are stored as 30 or 31,
 *   keeping their parity.
 *   Scripts come from ICU's Script and Script_Extensions data (Unicode 15.0,
 *   as in the HarfBuzz the library shapes with). Characters of the Common,
 *   Inherited and Unknown scripts take the script of the closest preceding
 *   character of another script (the following one at the start of the
 *   text), and a closing paired bracket takes the script of its opening
 *   bracket. A character whose Script_Extensions hold the script of the
 *   text before it joins that script; one that may belong to several other
 *   scripts takes the first of them that the characters after it agree on
 *   (its own script when they agree on none): Grantha marks in Tamil text
 *   are Tamil, Devanagari digits in Dogra text are Dogra.
 *   An item is a maximal run of one level and one script; an item made only
 *   of Common, Inherited or Unknown characters has script tag 0 and eScript
 *   VANTOR_SCRIPT_NONE. The script tag of any other item is HarfBuzz's first
 *   OpenType tag for its script ('dev3' for Devanagari);
 *   ScriptGetFontScriptTags then names the tags the font actually has.
 *   SCRIPT_CONTROL is not consulted. The two bits of SCRIPT_STATE that
 *   Uniscribe leaves to the engine (fEngineReserved) mark an item that does
 *   not begin the text (1) and one that does not end it (2); shaping tells
 *   HarfBuzz where the text begins and ends from them (a mark at the start
 *   of the text gets a dotted circle), so a caller should pass the items'
 *   SCRIPT_ANALYSIS on as it is. A zeroed SCRIPT_ANALYSIS stands for an item
 *   that is a whole text.
 *
 * - Fonts: the entry points shape with the font given to usp_set_font_bytes
 *   (hdc is ignored). A script cache takes the current font when it is first
 *   used and keeps it until ScriptFreeCache; with no font set, a call that
 *   would have to open a cache returns E_PENDING. usp_set_font_bytes copies
 *   the bytes. The last few fonts (up to 4, and 128 MiB beyond the newest)
 *   are kept after usp_clear_font_bytes: setting the same bytes again, from
 *   any address, finds the kept font by length, a 64-bit hash and a full
 *   comparison, and reuses its HarfBuzz face and the shape plans cached on it.
 *
 * - Script tags are OPENTYPE_TAG values, first character in the low byte.
 *
 * - Shaping uses HarfBuzz's default cluster level (monotone graphemes): a base
 *   character and the marks that follow it form one cluster. Cluster values
 *   are UTF-16 offsets into the item. A TEXTRANGE_PROPERTIES record applies to
 *   the characters of its range. tagLangSys 'dflt' (or 0) selects the default
 *   language system; any other tag selects that language system. A tagScript
 *   that the font lists in GSUB or GPOS selects that script's lookups, so that
 *   a caller can ask for 'deva' where HarfBuzz would prefer 'dev2'.
 *
 * - SCRIPT_GLYPHPROP, as Microsoft's SCRIPT_VISATTR page describes it:
 *   fClusterStart marks the first glyph, in logical order, of each cluster;
 *   fDiacritic marks glyphs of GDEF class mark (3), or, in fonts without
 *   GDEF glyph classes, glyphs that stand for a nonspacing or enclosing mark
 *   (Mn, Me); fZeroWidth marks glyphs whose advance is zero. uJustification
 *   holds Microsoft's SCRIPT_JUSTIFY values (NONE 0, ARABIC_BLANK 1,
 *   CHARACTER 2, BLANK 4, ARABIC_NORMAL 7, ARABIC_KASHIDA 8, ARABIC_ALEF 9,
 *   ARABIC_HA 10, ARABIC_RA 11, ARABIC_BA 12, ARABIC_BARA 13, ARABIC_SEEN 14,
 *   ARABIC_SEEN_M 15) on the first glyph of each cluster, NONE on the others:
 *   a space separator (Zs) is BLANK, or ARABIC_BLANK in an Arabic item;
 *   ideographs and kana are CHARACTER; in an Arabic item, with joining taken
 *   from ICU's Joining_Type within the item, a tatweel in a word is KASHIDA,
 *   a cluster holding beh then reh or yeh (a ligature) BARA, seen or sad
 *   joined to the next letter SEEN (initial) or SEEN_M (medial), a letter
 *   not joined to the one before it NONE, a medial letter NORMAL, and a
 *   final form by its joining group: alef, tah, lam, kaf, gaf ALEF; heh,
 *   teh marbuta, dal HA; reh, waw, ain, qaf, feh RA; beh, yeh BA; any other
 *   NORMAL. Everything else is NONE. shape/justification.cpp says which
 *   Microsoft document each rule comes from.
 *   SCRIPT_CHARPROP.fCanGlyphAlone is set for a character that forms a
 *   cluster of its own with a single glyph and, in an Arabic item, joins
 *   neither neighbour.
 *
 * - Placing: advances and offsets are in font units (the font is scaled to
 *   its units per em, without hinting). GOFFSET.du runs along the advance
 *   direction: HarfBuzz's x offset for left-to-right items, its negation for
 *   right-to-left ones; dv is the y offset, positive up. ABC (when pABC is
 *   not null) is the run's: abcB the width of the union of the glyphs' ink
 *   (HarfBuzz's extents at each glyph's pen position plus offset, glyphs
 *   left to right), abcA the space left of it, abcC the space right of it,
 *   summing to the advances; a run without ink has abcA = abcB = 0 and abcC
 *   = the advances. Glyphs that are not what ScriptShapeOpenType
 *   made of the same item get their nominal advances and no offsets.
 *
 * - Trace: usp_trace_begin starts recording (dropping earlier stages) and
 *   usp_trace_stop ends it and drops the stages. Every successful
 *   ScriptShapeOpenType call made in between shapes the item a second time
 *   with HarfBuzz's message callback and appends one stage per step HarfBuzz
 *   announced and ran, in the order they ran; the returned result always
 *   comes from the untraced shaping. Which steps HarfBuzz announces depends
 *   on its version (the reader knows the messages of 6.0.0 to 15.0: see
 *   trace_reader.cpp). Stages, with their names and kinds (USP_TRACE_KIND_*
 *   in ffi/usp10.h):
 *     "preprocess-text", "decompose", "reorder marks", "compose"
 *                                    NORMALIZE   a round of normalizing the
 *                                                characters that changed them
 *                                                (decompose and compose are
 *                                                announced from HarfBuzz 13.2
 *                                                on); its glyphs are those the
 *                                                font's cmap gives the
 *                                                characters
 *     "cmap"                         CMAP        the glyphs as GSUB (or AAT's
 *                                                morx) starts
 *     "reordering indic initial", "reordering indic final",
 *     "reordering khmer", "reordering myanmar", "reordering USE"
 *                                    REORDER     a shaper's own reordering
 *     "inserting dotted-circles"     REORDER     dotted circles inserted for
 *                                                broken syllables, inside a
 *                                                reordering phase (announced
 *                                                from HarfBuzz 8.0 on)
 *     "GSUB lookup N 'tag'"          SUBSTITUTE  a GSUB lookup applied (N the
 *                                                lookup index, tag its feature;
 *                                                lookups HarfBuzz skipped for
 *                                                want of a matching glyph are
 *                                                left out)
 *     "morx chainsubtable N", "mort chainsubtable N"
 *                                    SUBSTITUTE  an AAT subtable that ran (N
 *                                                counts across the chains)
 *     "postprocess-glyphs"           SUBSTITUTE  a shaper's changes after GSUB
 *     "default positions"            POSITION    the advances positioning
 *                                                starts from (taken once,
 *                                                before the first step below)
 *     "GPOS lookup N 'tag'"          POSITION    a GPOS lookup applied
 *     "kerx subtable N"              POSITION    an AAT kerx subtable that ran
 *     "kern table", "fallback mark", "fallback kern"
 *                                    POSITION    kerning from the 'kern'
 *                                                table, mark positioning and
 *                                                kerning without GPOS
 *     "final"                        FINAL       the shaped glyphs
 *   Steps of kinds NORMALIZE, "inserting dotted-circles" and
 *   "postprocess-glyphs" become stages only when they changed the buffer.
 *   usp_trace_stage gives a stage's name and glyph ids; usp_trace_stage_glyphs
 *   gives the stage of the same index as a USP_TRACE_STAGE_GLYPHS record:
 *   its kind and, per glyph, the id, the cluster HarfBuzz held for it at that
 *   moment (a UTF-16 offset into the item; cluster values change as
 *   reordering and ligatures merge clusters) and, in POSITION and FINAL
 *   stages, x_advance, x_offset and y_offset as HarfBuzz held them. Inside
 *   GPOS those are HarfBuzz's working values: an attached mark's offset is
 *   relative to its base until positioning ends, and only the FINAL stage has
 *   the finished offsets (GOFFSET.du of ScriptPlaceOpenType is its x_offset,
 *   negated in right-to-left items). Glyphs are in logical order in every
 *   stage.
 *   The library keeps each stage as the change it made to the stage before
 *   it in the same item, and usp_trace_stage_change gives it as a
 *   USP_TRACE_STAGE_CHANGE record (ffi/usp10.h): the stage's name and kind,
 *   its glyph count, and the span [start, stop) of the stage before that it
 *   replaced with the glyphs given (the same USP_TRACE_GLYPH records). The
 *   span is the shortest one: the glyphs both stages begin and end with,
 *   equal in id, cluster, advance and offsets, are left out, so that an
 *   unchanged stage replaces nothing by nothing; but a stage that positions
 *   (POSITION, FINAL) and one that does not share no glyph, and the first of
 *   them after the other replaces every glyph. The first stage of each item
 *   (first = 1) replaces nothing in an empty run: start = stop = 0 and every
 *   glyph given. A trace so kept grows with what the steps changed rather
 *   than with the steps times the run's length. usp_trace_stage (when asked
 *   for the ids) and usp_trace_stage_glyphs rebuild the stage whole from the
 *   changes the first time it is asked for, which costs the length of the
 *   run, and keep it; usp_trace_stage_change rebuilds nothing. Arrays and
 *   names handed out by these functions stay valid until the next
 *   usp_trace_begin or usp_trace_stop. All three return 0 when the stage is
 *   delivered, 1 for an index out of range. usp_trace_stage_nested gives,
 *   for a GSUB or GPOS lookup stage, the lookups its contextual or chaining
 *   rules called, as HarfBuzz announces each call ("recursing to lookup N",
 *   from 14.0 on "start recursing to lookup N"): indices into the same
 *   table's lookup list, in the order first called, each once, the calls of
 *   the lookups called included; a call is listed whether or not the lookup
 *   called then changed a glyph.
 *   An item is shaped but not traced, and usp_trace_refusal gives the
 *   reason, when the font has a multiple substitution too long for HarfBuzz
 *   6.0.0's tracing (more than 93 glyphs: its messages would overflow a
 *   fixed buffer on the stack), when its stages would hold more than 2^20
 *   glyphs (256 per character of a longer item), when HarfBuzz's messages
 *   would copy more than 2^26 glyphs, when the traced shaping ends with
 *   other glyphs than the result, when memory runs out, and when the trace
 *   cannot be read: a message outside the reader's vocabulary or out of its
 *   place, no lookup announced though HarfBuzz's plan for the item has GSUB
 *   or GPOS lookups, or a last stage that does not lead to the result (other
 *   than by the default-ignorable characters HarfBuzz hides after
 *   substitution). That reason names the HarfBuzz version in use
 *   (hb_version_string()).
 */
#ifndef VANTOR_VANTOR_H
#define VANTOR_VANTOR_H

/* Results of usp_set_font_bytes. */
#define VANTOR_FONT_OK 0
#define VANTOR_FONT_EMPTY 1         /* null pointer or zero length */
#define VANTOR_FONT_NOT_SFNT 2      /* not an OpenType/TrueType font or collection */
#define VANTOR_FONT_NO_GLYPHS 3     /* the first face has no glyphs */
#define VANTOR_FONT_NO_MEMORY 4     /* the copy of the bytes could not be made */

/* Bits of usp_capabilities(): the request options the library applies. A
 * caller may refuse to send an option to a backend that does not export
 * usp_capabilities or does not list the option, rather than have it dropped:
 * any other backend library can export the same function to say what it
 * applies. uint32_t usp_capabilities(void); */
#define VANTOR_APPLIES_FEATURES 1u  /* OPENTYPE_FEATURE_RECORD ranges */
#define VANTOR_APPLIES_SCRIPT 2u    /* tagScript selects the script's lookups */
#define VANTOR_APPLIES_LANGUAGE 4u  /* tagLangSys selects the language */
#define VANTOR_APPLIES_VARIATIONS 8u /* usp_set_variations sets the location */

/* int usp_set_variations(const int32_t *tags_and_values, int count): the
 * location of the variation axes every later request shapes at, for the
 * current font and every font set after it, as `count` pairs (axis tag as
 * an OPENTYPE_TAG, first character in the low byte; value in 16.16 fixed
 * point), hb-shape's --variations. Count 0 returns to
 * each font's default instance. As in HarfBuzz, a tag the font has no axis
 * for is ignored, a value is clamped to its axis and avar applies; a later
 * pair for the same axis wins. A SCRIPT_CACHE keeps the font it was opened
 * with, so a new location takes effect with a new cache (as a new HFONT
 * would). Returns VANTOR_LOCATION_OK, VANTOR_LOCATION_BAD_ARGUMENTS (count
 * negative or above VANTOR_MAX_VARIATIONS, or no array) or
 * VANTOR_LOCATION_NO_MEMORY; on failure the location stays as it was.
 *
 * int usp_variation_coords(int32_t *design, int32_t *normalized,
 * int capacity): the current font's axes (fvar's order) at that location:
 * the value used, clamped (16.16), and HarfBuzz's normalized coordinate
 * after avar (2.14). Returns the number of axes, -1 without a font; fills
 * at most `capacity` entries of each array given. */
/* int usp_language_tags(const char *bcp47, OPENTYPE_TAG *tags, int
 * capacity): the OpenType language system tags HarfBuzz maps a BCP 47 code
 * to (hb_ot_tags_from_script_and_language), its preference first, as
 * OPENTYPE_TAGs. Returns their number, -1 for a null or empty code, and
 * fills at most `capacity`; 0 when HarfBuzz knows no language system for
 * the code. */
#define VANTOR_LOCATION_OK 0
#define VANTOR_LOCATION_BAD_ARGUMENTS 1
#define VANTOR_LOCATION_NO_MEMORY 2
#define VANTOR_MAX_VARIATIONS 1024

/* const char *usp_backend_version(void): "HarfBuzz 10.2.0, ICU 76.1", the
 * versions hb_version_string() and u_getVersion() report for the libraries
 * actually loaded. The glyphs and traces are those of that HarfBuzz. The
 * library binds to the HarfBuzz it was built against even in a process that
 * loaded another copy into the global scope, when it is opened with
 * RTLD_DEEPBIND as tesvo opens it. */

/* Script numbers stored in SCRIPT_ANALYSIS.eScript. The numbers are stable:
 * new scripts are only ever appended. VANTOR_SCRIPT_NONE marks an item that
 * holds no character with a script of its own (spaces, punctuation, digits,
 * marks). Each entry gives the number, the name and the ISO 15924 code. */
#define VANTOR_SCRIPT_NONE 0
#define VANTOR_SCRIPT_LIST(X) \
  X(  1, ARABIC,                  'A', 'r', 'a', 'b') \
  X(  2, ARMENIAN,                'A', 'r', 'm', 'n') \
  X(  3, BENGALI,                 'B', 'e', 'n', 'g') \
  X(  4, CYRILLIC,                'C', 'y', 'r', 'l') \
  X(  5, DEVANAGARI,              'D', 'e', 'v', 'a') \
  X(  6, GEORGIAN,                'G', 'e', 'o', 'r') \
  X(  7, GREEK,                   'G', 'r', 'e', 'k') \
  X(  8, GUJARATI,                'G', 'u', 'j', 'r') \
  X(  9, GURMUKHI,                'G', 'u', 'r', 'u') \
  X( 10, HANGUL,                  'H', 'a', 'n', 'g') \
  X( 11, HAN,                     'H', 'a', 'n', 'i') \
  X( 12, HEBREW,                  'H', 'e', 'b', 'r') \
  X( 13, HIRAGANA,                'H', 'i', 'r', 'a') \
  X( 14, KANNADA,                 'K', 'n', 'd', 'a') \
  X( 15, KATAKANA,                'K', 'a', 'n', 'a') \
  X( 16, LAO,                     'L', 'a', 'o', 'o') \
  X( 17, LATIN,                   'L', 'a', 't', 'n') \
  X( 18, MALAYALAM,               'M', 'l', 'y', 'm') \
  X( 19, ORIYA,                   'O', 'r', 'y', 'a') \
  X( 20, TAMIL,                   'T', 'a', 'm', 'l') \
  X( 21, TELUGU,                  'T', 'e', 'l', 'u') \
  X( 22, THAI,                    'T', 'h', 'a', 'i') \
  X( 23, TIBETAN,                 'T', 'i', 'b', 't') \
  X( 24, BOPOMOFO,                'B', 'o', 'p', 'o') \
  X( 25, BRAILLE,                 'B', 'r', 'a', 'i') \
  X( 26, CANADIAN_SYLLABICS,      'C', 'a', 'n', 's') \
  X( 27, CHEROKEE,                'C', 'h', 'e', 'r') \
  X( 28, ETHIOPIC,                'E', 't', 'h', 'i') \
  X( 29, KHMER,                   'K', 'h', 'm', 'r') \
  X( 30, MONGOLIAN,               'M', 'o', 'n', 'g') \
  X( 31, MYANMAR,                 'M', 'y', 'm', 'r') \
  X( 32, OGHAM,                   'O', 'g', 'a', 'm') \
  X( 33, RUNIC,                   'R', 'u', 'n', 'r') \
  X( 34, SINHALA,                 'S', 'i', 'n', 'h') \
  X( 35, SYRIAC,                  'S', 'y', 'r', 'c') \
  X( 36, THAANA,                  'T', 'h', 'a', 'a') \
  X( 37, YI,                      'Y', 'i', 'i', 'i') \
  X( 38, DESERET,                 'D', 's', 'r', 't') \
  X( 39, GOTHIC,                  'G', 'o', 't', 'h') \
  X( 40, OLD_ITALIC,              'I', 't', 'a', 'l') \
  X( 41, BUHID,                   'B', 'u', 'h', 'd') \
  X( 42, HANUNOO,                 'H', 'a', 'n', 'o') \
  X( 43, TAGALOG,                 'T', 'g', 'l', 'g') \
  X( 44, TAGBANWA,                'T', 'a', 'g', 'b') \
  X( 45, CYPRIOT,                 'C', 'p', 'r', 't') \
  X( 46, LIMBU,                   'L', 'i', 'm', 'b') \
  X( 47, LINEAR_B,                'L', 'i', 'n', 'b') \
  X( 48, OSMANYA,                 'O', 's', 'm', 'a') \
  X( 49, SHAVIAN,                 'S', 'h', 'a', 'w') \
  X( 50, TAI_LE,                  'T', 'a', 'l', 'e') \
  X( 51, UGARITIC,                'U', 'g', 'a', 'r') \
  X( 52, BUGINESE,                'B', 'u', 'g', 'i') \
  X( 53, COPTIC,                  'C', 'o', 'p', 't') \
  X( 54, GLAGOLITIC,              'G', 'l', 'a', 'g') \
  X( 55, KHAROSHTHI,              'K', 'h', 'a', 'r') \
  X( 56, NEW_TAI_LUE,             'T', 'a', 'l', 'u') \
  X( 57, OLD_PERSIAN,             'X', 'p', 'e', 'o') \
  X( 58, SYLOTI_NAGRI,            'S', 'y', 'l', 'o') \
  X( 59, TIFINAGH,                'T', 'f', 'n', 'g') \
  X( 60, BALINESE,                'B', 'a', 'l', 'i') \
  X( 61, CUNEIFORM,               'X', 's', 'u', 'x') \
  X( 62, NKO,                     'N', 'k', 'o', 'o') \
  X( 63, PHAGS_PA,                'P', 'h', 'a', 'g') \
  X( 64, PHOENICIAN,              'P', 'h', 'n', 'x') \
  X( 65, CARIAN,                  'C', 'a', 'r', 'i') \
  X( 66, CHAM,                    'C', 'h', 'a', 'm') \
  X( 67, KAYAH_LI,                'K', 'a', 'l', 'i') \
  X( 68, LEPCHA,                  'L', 'e', 'p', 'c') \
  X( 69, LYCIAN,                  'L', 'y', 'c', 'i') \
  X( 70, LYDIAN,                  'L', 'y', 'd', 'i') \
  X( 71, OL_CHIKI,                'O', 'l', 'c', 'k') \
  X( 72, REJANG,                  'R', 'j', 'n', 'g') \
  X( 73, SAURASHTRA,              'S', 'a', 'u', 'r') \
  X( 74, SUNDANESE,               'S', 'u', 'n', 'd') \
  X( 75, VAI,                     'V', 'a', 'i', 'i') \
  X( 76, AVESTAN,                 'A', 'v', 's', 't') \
  X( 77, BAMUM,                   'B', 'a', 'm', 'u') \
  X( 78, EGYPTIAN_HIEROGLYPHS,    'E', 'g', 'y', 'p') \
  X( 79, IMPERIAL_ARAMAIC,        'A', 'r', 'm', 'i') \
  X( 80, INSCRIPTIONAL_PAHLAVI,   'P', 'h', 'l', 'i') \
  X( 81, INSCRIPTIONAL_PARTHIAN,  'P', 'r', 't', 'i') \
  X( 82, JAVANESE,                'J', 'a', 'v', 'a') \
  X( 83, KAITHI,                  'K', 't', 'h', 'i') \
  X( 84, LISU,                    'L', 'i', 's', 'u') \
  X( 85, MEETEI_MAYEK,            'M', 't', 'e', 'i') \
  X( 86, OLD_SOUTH_ARABIAN,       'S', 'a', 'r', 'b') \
  X( 87, OLD_TURKIC,              'O', 'r', 'k', 'h') \
  X( 88, SAMARITAN,               'S', 'a', 'm', 'r') \
  X( 89, TAI_THAM,                'L', 'a', 'n', 'a') \
  X( 90, TAI_VIET,                'T', 'a', 'v', 't') \
  X( 91, BATAK,                   'B', 'a', 't', 'k') \
  X( 92, BRAHMI,                  'B', 'r', 'a', 'h') \
  X( 93, MANDAIC,                 'M', 'a', 'n', 'd') \
  X( 94, CHAKMA,                  'C', 'a', 'k', 'm') \
  X( 95, MEROITIC_CURSIVE,        'M', 'e', 'r', 'c') \
  X( 96, MEROITIC_HIEROGLYPHS,    'M', 'e', 'r', 'o') \
  X( 97, MIAO,                    'P', 'l', 'r', 'd') \
  X( 98, SHARADA,                 'S', 'h', 'r', 'd') \
  X( 99, SORA_SOMPENG,            'S', 'o', 'r', 'a') \
  X(100, TAKRI,                   'T', 'a', 'k', 'r') \
  X(101, BASSA_VAH,               'B', 'a', 's', 's') \
  X(102, CAUCASIAN_ALBANIAN,      'A', 'g', 'h', 'b') \
  X(103, DUPLOYAN,                'D', 'u', 'p', 'l') \
  X(104, ELBASAN,                 'E', 'l', 'b', 'a') \
  X(105, GRANTHA,                 'G', 'r', 'a', 'n') \
  X(106, KHOJKI,                  'K', 'h', 'o', 'j') \
  X(107, KHUDAWADI,               'S', 'i', 'n', 'd') \
  X(108, LINEAR_A,                'L', 'i', 'n', 'a') \
  X(109, MAHAJANI,                'M', 'a', 'h', 'j') \
  X(110, MANICHAEAN,              'M', 'a', 'n', 'i') \
  X(111, MENDE_KIKAKUI,           'M', 'e', 'n', 'd') \
  X(112, MODI,                    'M', 'o', 'd', 'i') \
  X(113, MRO,                     'M', 'r', 'o', 'o') \
  X(114, NABATAEAN,               'N', 'b', 'a', 't') \
  X(115, OLD_NORTH_ARABIAN,       'N', 'a', 'r', 'b') \
  X(116, OLD_PERMIC,              'P', 'e', 'r', 'm') \
  X(117, PAHAWH_HMONG,            'H', 'm', 'n', 'g') \
  X(118, PALMYRENE,               'P', 'a', 'l', 'm') \
  X(119, PAU_CIN_HAU,             'P', 'a', 'u', 'c') \
  X(120, PSALTER_PAHLAVI,         'P', 'h', 'l', 'p') \
  X(121, SIDDHAM,                 'S', 'i', 'd', 'd') \
  X(122, TIRHUTA,                 'T', 'i', 'r', 'h') \
  X(123, WARANG_CITI,             'W', 'a', 'r', 'a') \
  X(124, AHOM,                    'A', 'h', 'o', 'm') \
  X(125, ANATOLIAN_HIEROGLYPHS,   'H', 'l', 'u', 'w') \
  X(126, HATRAN,                  'H', 'a', 't', 'r') \
  X(127, MULTANI,                 'M', 'u', 'l', 't') \
  X(128, OLD_HUNGARIAN,           'H', 'u', 'n', 'g') \
  X(129, SIGNWRITING,             'S', 'g', 'n', 'w') \
  X(130, ADLAM,                   'A', 'd', 'l', 'm') \
  X(131, BHAIKSUKI,               'B', 'h', 'k', 's') \
  X(132, MARCHEN,                 'M', 'a', 'r', 'c') \
  X(133, OSAGE,                   'O', 's', 'g', 'e') \
  X(134, TANGUT,                  'T', 'a', 'n', 'g') \
  X(135, NEWA,                    'N', 'e', 'w', 'a') \
  X(136, MASARAM_GONDI,           'G', 'o', 'n', 'm') \
  X(137, NUSHU,                   'N', 's', 'h', 'u') \
  X(138, SOYOMBO,                 'S', 'o', 'y', 'o') \
  X(139, ZANABAZAR_SQUARE,        'Z', 'a', 'n', 'b') \
  X(140, DOGRA,                   'D', 'o', 'g', 'r') \
  X(141, GUNJALA_GONDI,           'G', 'o', 'n', 'g') \
  X(142, HANIFI_ROHINGYA,         'R', 'o', 'h', 'g') \
  X(143, MAKASAR,                 'M', 'a', 'k', 'a') \
  X(144, MEDEFAIDRIN,             'M', 'e', 'd', 'f') \
  X(145, OLD_SOGDIAN,             'S', 'o', 'g', 'o') \
  X(146, SOGDIAN,                 'S', 'o', 'g', 'd') \
  X(147, ELYMAIC,                 'E', 'l', 'y', 'm') \
  X(148, NANDINAGARI,             'N', 'a', 'n', 'd') \
  X(149, NYIAKENG_PUACHUE_HMONG,  'H', 'm', 'n', 'p') \
  X(150, WANCHO,                  'W', 'c', 'h', 'o') \
  X(151, CHORASMIAN,              'C', 'h', 'r', 's') \
  X(152, DIVES_AKURU,             'D', 'i', 'a', 'k') \
  X(153, KHITAN_SMALL_SCRIPT,     'K', 'i', 't', 's') \
  X(154, YEZIDI,                  'Y', 'e', 'z', 'i') \
  X(155, CYPRO_MINOAN,            'C', 'p', 'm', 'n') \
  X(156, OLD_UYGHUR,              'O', 'u', 'g', 'r') \
  X(157, TANGSA,                  'T', 'n', 's', 'a') \
  X(158, TOTO,                    'T', 'o', 't', 'o') \
  X(159, VITHKUQI,                'V', 'i', 't', 'h') \
  X(160, KAWI,                    'K', 'a', 'w', 'i') \
  X(161, NAG_MUNDARI,             'N', 'a', 'g', 'm')

#define VANTOR_SCRIPT_ENUMERATOR(number, name, c1, c2, c3, c4) VANTOR_SCRIPT_##name = number,
enum vantor_script { VANTOR_SCRIPT_LIST(VANTOR_SCRIPT_ENUMERATOR) VANTOR_SCRIPT_COUNT };
#undef VANTOR_SCRIPT_ENUMERATOR

#endif /* VANTOR_VANTOR_H */
