// ScriptBreak's attributes from ICU, read as Microsoft's SCRIPT_LOGATTR page
// describes them: fSoftBreak before each character a line may start with
// (line break rules), fWordStop at the word boundaries (word rules: where a
// word movement stops the caret), fCharStop at grapheme cluster boundaries
// (not inside a cluster), and fWhiteSpace on breakable white space: the
// White_Space characters except those that glue their neighbours together
// (line break class GL: NBSP, U+2007, U+202F), as the page excludes the
// nonbreaking spaces. fInvalid stays clear: this library exports no
// ScriptGetProperties, so no script of it claims fInvalidLogAttr.
#include "breaks.h"

#include <memory>

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>

namespace vantor {

namespace {

struct CloseBreaks {
  void operator()(UBreakIterator *it) const { ubrk_close(it); }
};
using Breaks = std::unique_ptr<UBreakIterator, CloseBreaks>;

// Calls mark(position) for every boundary inside the text (not at 0 or at its end).
template <class Mark> bool each_boundary(UBreakIteratorType type, std::u16string_view text, Mark mark) {
  UErrorCode status = U_ZERO_ERROR;
  Breaks it(ubrk_open(type, "", text.data(), static_cast<int32_t>(text.size()), &status));
  if (U_FAILURE(status) || !it) return false;
  for (int32_t at = ubrk_next(it.get()); at != UBRK_DONE; at = ubrk_next(it.get()))
    if (at > 0 && static_cast<std::size_t>(at) < text.size()) mark(static_cast<std::size_t>(at));
  return true;
}

}  // namespace

bool find_breaks(std::u16string_view text, std::span<SCRIPT_LOGATTR> out) {
  for (SCRIPT_LOGATTR &a : out) a = SCRIPT_LOGATTR{};
  if (text.empty()) return true;
  out[0].fCharStop = 1;
  out[0].fWordStop = 1;
  if (!each_boundary(UBRK_CHARACTER, text, [&](std::size_t at) { out[at].fCharStop = 1; })) return false;
  if (!each_boundary(UBRK_WORD, text, [&](std::size_t at) { out[at].fWordStop = 1; })) return false;
  if (!each_boundary(UBRK_LINE, text, [&](std::size_t at) { out[at].fSoftBreak = 1; })) return false;
  for (std::size_t i = 0; i < text.size();) {
    UChar32 c;
    const std::size_t start = i;
    U16_NEXT(text.data(), i, text.size(), c);
    if (u_hasBinaryProperty(c, UCHAR_WHITE_SPACE) && u_getIntPropertyValue(c, UCHAR_LINE_BREAK) != U_LB_GLUE) {
      out[start].fWhiteSpace = 1;
    }
  }
  return true;
}

}  // namespace vantor
