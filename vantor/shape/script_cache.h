// What a SCRIPT_CACHE points at: the font the cache was opened with and the
// last item it shaped.
#pragma once

#include <memory>

#include "font_store.h"
#include "shaper.h"

namespace vantor {

struct ScriptCache {
  // The cache keeps its font alive: clearing or replacing the font bytes
  // does not pull the font from under a cache still in use.
  std::shared_ptr<const FontFace> font;
  ShapeMemo last_shape;
  // The HarfBuzz buffer its items are shaped in, made on first use.
  BufferPtr buffer;
};

}  // namespace vantor
