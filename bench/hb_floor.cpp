// The HarfBuzz floor of the benchmarks: the same item runs as a shape_json
// call, shaped with the HarfBuzz the bundled backend is built on (the system
// library), from C++, with no output: the shaping cost below any JSON, for
// comparison with shape_json and uharfbuzz.
//
// Usage: hb_floor FONT TEXT_UTF16LE ITEMS REPEATS
// ITEMS holds one line per item: "start end rtl". Prints one line per
// repetition: the processor seconds that repetition took, then the glyph count.
// With REPEATS "serve" it shapes once to warm up, prints "ready", then answers
// each line "N" of its standard input with the least processor seconds of N
// repetitions: a worker as the benchmarks' Python contenders are.
#include <hb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "floor_worker.h"

namespace {

struct ItemRun {
  unsigned start, end;
  bool rtl;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: hb_floor FONT TEXT_UTF16LE ITEMS REPEATS\n");
    return 2;
  }
  hb_blob_t *blob = hb_blob_create_from_file(argv[1]);
  hb_face_t *face = hb_face_create(blob, 0);
  hb_font_t *font = hb_font_create(face);
  const std::vector<std::uint16_t> text = read_utf16le(argv[2]);
  std::vector<ItemRun> items;
  std::ifstream list(argv[3]);
  for (ItemRun item{}; list >> item.start >> item.end >> item.rtl;) items.push_back(item);
  const bool serve = std::string(argv[4]) == "serve";
  const int repeats = serve ? 1 : std::atoi(argv[4]);

  hb_buffer_t *buffer = hb_buffer_create();
  std::size_t glyphs = 0;
  const auto once = [&] {
    glyphs = 0;
    const double begin = cpu_seconds();
    for (const ItemRun &item : items) {
      hb_buffer_clear_contents(buffer);
      hb_buffer_add_utf16(buffer, text.data() + item.start, static_cast<int>(item.end - item.start), 0,
                          static_cast<int>(item.end - item.start));
      hb_buffer_guess_segment_properties(buffer);
      hb_buffer_set_direction(buffer, item.rtl ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
      hb_shape(font, buffer, nullptr, 0);
      glyphs += hb_buffer_get_length(buffer);
    }
    return cpu_seconds() - begin;
  };
  for (int r = 0; r < repeats; ++r) {
    const double seconds = once();
    if (!serve) std::printf("%.6f %zu\n", seconds, glyphs);
  }
  if (serve) serve_rounds(once);
  hb_buffer_destroy(buffer);
  hb_font_destroy(font);
  hb_face_destroy(face);
  hb_blob_destroy(blob);
  return 0;
}
