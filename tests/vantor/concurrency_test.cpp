// Threads using the backend at once leave its shared font slot, kept fonts
// and trace intact: every result is the result of one of the fonts set.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "harness.h"

namespace vantor_test {
namespace {

TEST(Concurrency, SharedStateSurvivesCallsFromSeveralThreads) {
  const std::vector<std::uint8_t> fonts[2] = {read_file(font_path("NotoSans-Regular.ttf")),
                                              read_file(font_path("NotoSerif-Regular.ttf"))};
  std::vector<int> expected[2];  // the fonts share glyph ids; advances differ
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(usp_set_font_bytes(fonts[f].data(), fonts[f].size()), 0);
    SCRIPT_CACHE cache = nullptr;
    expected[f] = shape_text(&cache, u"AVATAR Wave").advances;
    ScriptFreeCache(&cache);
  }
  ASSERT_NE(expected[0], expected[1]);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 40; ++round) {
        const std::vector<std::uint8_t> &font = fonts[(t + round) % 2];
        if (usp_set_font_bytes(font.data(), font.size()) != 0) ++wrong;
        usp_trace_begin();
        SCRIPT_CACHE cache = nullptr;
        const Shaped shaped = shape_text(&cache, u"AVATAR Wave");
        ScriptFreeCache(&cache);
        for (int i = 0; i < usp_trace_count(); ++i) {
          usp_trace_stage(i, nullptr, 0, nullptr, nullptr);
        }
        usp_trace_stop();
        // Another thread may set the other font, or none, in between.
        if (shaped.shape_hr == S_OK && shaped.advances != expected[0] &&
            shaped.advances != expected[1]) {
          ++wrong;
        }
        if (round % 8 == 0) usp_clear_font_bytes();
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  usp_clear_font_bytes();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vantor_test
