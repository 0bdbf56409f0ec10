// Locations in a variable font's design space: hb-shape's --variations
// syntax ("wght=700,wdth=87.5") read into the (tag, 16.16 value) pairs the
// backend takes, and the coordinates it reports back.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "abi/usp10.h"
#include "base/result.h"

namespace tesvo {

struct AxisValue {
  OPENTYPE_TAG tag;
  std::int32_t value;  // 16.16 fixed point
  bool operator==(const AxisValue &) const = default;
};

// Pairs in the order given; empty for the default instance.
using Location = std::vector<AxisValue>;

// Reads a comma-separated list of `tag=value` (the `=` may be left out or be
// a `:`, as HarfBuzz reads it); the value is a decimal number within the
// 16.16 range. A repeated tag takes the later value, in the earlier place.
Result<Location> parse_variations(std::string_view text);

// The backend's array: tag, value, tag, value, ...
std::vector<std::int32_t> location_pairs(const Location &location);

// One fvar axis at a location: the value used, clamped to the axis (16.16),
// and the normalized coordinate after avar (2.14), as the backend reports them.
struct AxisCoordinate {
  std::int32_t design;
  std::int32_t normalized;
};

}  // namespace tesvo
