// The shaping driver: one compatibility request from its options to the result
// document, and the steps every text takes on its way to the backend, whichever
// surface asked: the text's checks, its paragraph level, the port held with the
// font resident in the backend, and a script cache of its own.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <variant>

#include "abi/usp10.h"
#include "text/features.h"
#include "shape/options.h"
#include "text/paragraph.h"
#include "base/result.h"
#include "shape/run.h"
#include "json/value.h"
#include "text/variations.h"
#include "abi/loader.h"

namespace tesvo {

// The options of one text, checked: what the shaping run needs beside the text.
struct TextPlan {
  ParagraphDirection direction = ParagraphDirection::first_strong;
  FeatureList features;
  OPENTYPE_TAG script = 0;  // tagScript of every item; 0: the font's best for each item
  OPENTYPE_TAG language = kTagDflt;
  Location location;  // empty: the font's default instance
  std::vector<OPENTYPE_TAG> font_scripts;  // see ShapeRun::font_scripts
  // Features over part of a text, in code points of the text (a Python str's indices).
  std::vector<RangedFeature> ranged_features;
  bool trace = false;
  // An item past the glyph limit is cut into pieces rather than failing the text.
  bool cut_long_items = false;
  // Each item's ABC widths are asked of ScriptPlaceOpenType.
  bool place_widths = false;
  // Each item's break opportunities are asked of ScriptBreak, where the backend has it.
  bool breaks = false;
};

// A font for the backend and the owner the port knows it by. Owner 0 is the
// font of one request: handed over for it and cleared again after it.
struct PortFont {
  std::span<const std::uint8_t> bytes;
  std::uint64_t owner = 0;
};

// The port held, and the font handed to the backend unless the backend still
// has it. The port keeps one process-wide font and trace: requests hand it
// their font and shape with it one at a time, or they would shape with each
// other's font.
class ResidentFont {
 public:
  ResidentFont(const Usp10 &usp, const PortFont &font);
  ResidentFont(const ResidentFont &) = delete;
  ResidentFont &operator=(const ResidentFont &) = delete;
  // A font of one request leaves the backend with the port still held, on
  // every way out: the backend must not keep pointing at bytes about to be freed.
  ~ResidentFont();

  Result<std::monostate> hand_over();
  // After hand_over: the backend shapes at `location` from here on. A
  // backend without usp_set_variations can only shape the default instance.
  Result<std::monostate> locate(const Location &location);

  // A kept font leaves the backend, if it is still there.
  static void release(const Usp10 &usp, std::uint64_t owner);

 private:
  std::lock_guard<std::mutex> hold_;
  const Usp10 &usp_;
  PortFont font_;
  bool handed_ = false;
};

// "empty text", or a text longer than the backend's int lengths and glyph
// buffers (3n + 8) can hold.
Result<std::monostate> check_text(std::u16string_view text);

// One text with a font the port knows: checked, shaped item by item into the
// sink, or into the compatibility call's result document.
Result<std::monostate> shape_text(const Usp10 &usp, const PortFont &font, std::u16string_view text,
                                  const TextPlan &plan, ItemSink &sink);
Result<Value> shape_document(const Usp10 &usp, const PortFont &font, std::u16string_view text, const TextPlan &plan,
                             const FontFacts &facts);

// The coordinates of every axis of the font at the plan's location, as the
// backend reports them; empty for a font without axes, and for the default
// instance on a backend that does not report coordinates.
Result<std::vector<AxisCoordinate>> axis_coordinates(const Usp10 &usp, const PortFont &font, const TextPlan &plan);

// The compatibility request: reads the font, loads the backend, checks the
// options and shapes the text into the result document.
Result<Value> shape_value(ShapeOpts opts);

// A millisecond pause from an environment variable: "+"? digits, up to 2^64-1.
// Anything else means no pause.
void pause_for(const char *variable);

}  // namespace tesvo
