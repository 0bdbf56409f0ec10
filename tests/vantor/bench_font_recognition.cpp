// The benchmark of libvantor taking a font's bytes: building the font the
// first time, and recognising the same bytes later (hash plus a full
// comparison with the kept copy). It prints figures and asserts nothing.
//
//   vantor_bench_font_recognition [font file]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "font_store.h"
#include "harness.h"

int main(int argc, char **argv) {
  const std::string path =
      argc > 1 ? argv[1] : "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
  const std::vector<std::uint8_t> bytes = vantor_test::read_file(path);
  const std::vector<std::uint8_t> copy = bytes;  // same content, other address
  using Clock = std::chrono::steady_clock;
  const auto time_ms = [](auto &&body) {
    const auto start = Clock::now();
    body();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  const double build = time_ms([&] { usp_set_font_bytes(bytes.data(), bytes.size()); });
  std::vector<double> hash, recognise;
  for (int round = 0; round < 21; ++round) {
    hash.push_back(time_ms([&] { (void)vantor::hash_bytes(copy); }));
    usp_clear_font_bytes();
    const auto &source = round % 2 == 0 ? copy : bytes;
    recognise.push_back(time_ms([&] { usp_set_font_bytes(source.data(), source.size()); }));
  }
  std::sort(hash.begin(), hash.end());
  std::sort(recognise.begin(), recognise.end());
  std::printf("%s: %.1f MiB\n", path.c_str(), static_cast<double>(bytes.size()) / (1 << 20));
  std::printf("first set (copy, build face): %7.3f ms\n", build);
  std::printf("hash alone, median of 21:     %7.3f ms\n", hash[10]);
  std::printf("set again (recognised), median of 21: %7.3f ms; faces built: %zu\n", recognise[10],
              vantor::FontStore::faces_built());
  return 0;
}
