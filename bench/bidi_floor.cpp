// ICU's bidi resolution of a benchmark text, alone: the part of the
// itemizer's work that a caller handed the runs (the uharfbuzz contender of
// bench/binding.py) does not pay. One paragraph level found from the text
// (UBIDI_DEFAULT_LTR), levels read back, as the backend asks for them.
//
// Usage: bidi_floor TEXT_UTF16LE
// Prints "ready" after one warm-up resolution, then answers each line "N" of
// its standard input with the least processor seconds of N resolutions.
#include <unicode/ubidi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "floor_worker.h"

namespace {

struct BidiCloser {
  void operator()(UBiDi *bidi) const { ubidi_close(bidi); }
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bidi_floor TEXT_UTF16LE\n");
    return 2;
  }
  const std::vector<std::uint16_t> units = read_utf16le(argv[1]);
  const std::u16string text(units.begin(), units.end());
  const auto length = static_cast<int32_t>(text.size());
  long sum = 0;  // the levels, summed, so that nothing is left unread
  const auto once = [&] {
    const double begin = cpu_seconds();
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UBiDi, BidiCloser> bidi(ubidi_openSized(length, 0, &status));
    ubidi_setPara(bidi.get(), text.data(), length, UBIDI_DEFAULT_LTR, nullptr, &status);
    const UBiDiLevel *levels = ubidi_getLevels(bidi.get(), &status);
    if (U_FAILURE(status)) {
      std::fprintf(stderr, "bidi_floor: ICU: %s\n", u_errorName(status));
      std::exit(1);
    }
    sum += levels[length - 1];
    return cpu_seconds() - begin;
  };
  once();
  serve_rounds(once);
  return sum < 0;
}
