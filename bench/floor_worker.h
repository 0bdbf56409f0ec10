// What the benchmarks' C++ floors (hb_floor, bidi_floor) share: the processor
// time they measure, the UTF-16LE text files they read, and the worker loop
// bench/binding.py talks to.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The processor time of this process, as the suite measures its own.
inline double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The code units of a UTF-16LE file.
inline std::vector<std::uint16_t> read_utf16le(const char *path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::uint16_t> units(bytes.size() / 2);
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                          static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return units;
}

// Prints "ready", then answers each line "N" of standard input with the least
// of N calls of `once` (each returning the processor seconds it took).
template <class Once> void serve_rounds(Once &&once) {
  std::printf("ready\n");
  std::fflush(stdout);
  for (int n; std::scanf("%d", &n) == 1;) {
    double least = once();
    for (int r = 1; r < n; ++r) least = std::min(least, once());
    std::printf("%.6f\n", least);
    std::fflush(stdout);
  }
}
