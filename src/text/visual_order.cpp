#include "text/visual_order.h"

#include <algorithm>

namespace tesvo {

std::vector<std::uint32_t> visual_order(std::span<const std::uint8_t> levels) {
  std::vector<std::uint32_t> order(levels.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  if (order.empty()) return order;
  const auto [lowest, highest] = std::minmax_element(levels.begin(), levels.end());
  auto level_at = [&](std::size_t k) { return levels[order[k]]; };
  for (int level = *highest; level >= (*lowest | 1); --level) {
    for (std::size_t start = 0; start < order.size();) {
      if (level_at(start) < level) {
        ++start;
        continue;
      }
      std::size_t end = start;
      while (end < order.size() && level_at(end) >= level) ++end;
      const auto begin = order.begin();
      std::reverse(begin + static_cast<std::ptrdiff_t>(start), begin + static_cast<std::ptrdiff_t>(end));
      start = end;
    }
  }
  return order;
}

}  // namespace tesvo
