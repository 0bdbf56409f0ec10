// How much two runs share at their ends: what a change from one to the other
// leaves out (the trace's stages and the package schema's stages as changes).
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

namespace tesvo {

// How many elements two runs share at their start and, of the rest, at their
// end.
template <class T> std::pair<std::size_t, std::size_t> common_ends(std::span<const T> before, std::span<const T> after) {
  const std::size_t shorter = std::min(before.size(), after.size());
  std::size_t head = 0;
  while (head < shorter && before[head] == after[head]) ++head;
  std::size_t tail = 0;
  while (tail < shorter - head && before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) ++tail;
  return {head, tail};
}

}  // namespace tesvo
