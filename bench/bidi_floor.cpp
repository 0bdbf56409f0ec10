// ICU's bidi resolution of a benchmark text, alone: the part of the
// itemizer's work that a caller handed the runs (the uharfbuzz contender of
// bench/binding.py) does not pay. One paragraph level found from the text
// (UBIDI_DEFAULT_LTR), levels read back, as the backend asks for them.
//
// Usage: bidi_floor TEXT_UTF16LE
// Prints "ready" after one warm-up resolution, then answers each line "N" of
// its standard input with the least processor seconds of N resolutions.
#include <unicode/ubidi.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace {

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct BidiCloser {
  void operator()(UBiDi *bidi) const { ubidi_close(bidi); }
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bidi_floor TEXT_UTF16LE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
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
  std::printf("ready\n");
  std::fflush(stdout);
  for (int n; std::scanf("%d", &n) == 1;) {
    double least = once();
    for (int r = 1; r < n; ++r) least = std::min(least, once());
    std::printf("%.6f\n", least);
    std::fflush(stdout);
  }
  return sum < 0;
}
