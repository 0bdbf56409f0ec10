// The blocks of the per-text arrays that grow to megabytes: mappings with
// their length in a header, the last one freed kept for the next text.
#include "base/spare_mapping.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace tesvo {

namespace {

constinit SpareMapping g_array_spare;

// A mapping holds its length in front of the block; the block keeps the
// alignment of anything malloc hands out.
constexpr std::size_t kHeader = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void *allocate_spared(std::size_t bytes) {
  if (bytes < kSparedBlock) {
    void *block = std::malloc(std::max<std::size_t>(bytes, 1));
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  std::size_t size = std::bit_ceil(std::max(bytes + kHeader, kHugePage));
  char *mapping = g_array_spare.map_at_least(size);
  *reinterpret_cast<std::size_t *>(mapping) = size;
  return mapping + kHeader;
}

void free_spared(void *block, std::size_t bytes) {
  if (block == nullptr) return;
  if (bytes < kSparedBlock) {
    std::free(block);
    return;
  }
  char *mapping = static_cast<char *>(block) - kHeader;
  g_array_spare.give(mapping, *reinterpret_cast<const std::size_t *>(mapping));
}

}  // namespace tesvo
