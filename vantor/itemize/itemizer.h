// Splitting a text into items: runs of one bidi level and one script.
#pragma once

#include <hb.h>

#include <string_view>
#include <vector>

namespace vantor {

struct ItemizeOptions {
  unsigned base_level = 0;  // paragraph level; its parity gives the direction
  bool override_direction = false;
};

struct ItemRun {
  int start = 0;             // code-unit index of the first character
  unsigned level = 0;        // resolved bidi level
  hb_script_t script = HB_SCRIPT_COMMON;  // resolved script of the run
  bool neutral_only = true;  // no character has a script of its own
};

// Items in logical order. Throws std::bad_alloc when memory runs out.
std::vector<ItemRun> itemize(std::u16string_view text, const ItemizeOptions &options);

}  // namespace vantor
