// Unicode facts the module needs, from generated tables (no Unicode library).
#pragma once

namespace tesvo {

// True for characters of the general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and
// Zs, and for characters with the Grapheme_Extend property.
bool needs_unicode_escape(char32_t cp);

// True for characters that go on the grapheme cluster before them, as many as
// follow one another: the Grapheme_Cluster_Break classes Extend, SpacingMark,
// ZWJ and the Hangul jamo L, V and T.
bool continues_grapheme(char32_t cp);

// The strong bidi class of a character: L, R or AL (as rtl), or none of them.
enum class StrongBidi { none, ltr, rtl };
StrongBidi strong_bidi(char32_t cp);

}  // namespace tesvo
