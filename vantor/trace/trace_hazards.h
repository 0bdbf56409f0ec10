// Font structures that HarfBuzz cannot trace safely.
#pragma once

#include <hb.h>

#include <cstddef>
#include <optional>
#include <string>

namespace vantor {

// When HarfBuzz 6.0.0 sends its buffer messages, a multiple substitution
// writes the positions of the glyphs it produced, as decimal numbers with
// commas, into a fixed 1024-byte array on the stack without checking the
// end: a sequence of 94 glyphs or more can run past it, which aborts the
// process ("stack smashing detected") or worse. Shaping without messages never
// takes that path.
//
// Returns why the face cannot be traced, as a clause: the GSUB lookup and
// the length of its longest substitution sequence when that can overflow, or
// that the table was too tangled to check within a fixed amount of work.
// nullopt when tracing is safe.
std::optional<std::string> trace_hazard(hb_face_t *face);

// The longest substitution sequence HarfBuzz's message array always holds:
// each position has at most 10 digits and a comma, and the text ends with NUL.
inline constexpr std::size_t kLongestTraceableSequence = 1024 / 11;

}  // namespace vantor
