// A finished memory mapping kept for the next request. The large blocks of a
// long text (its JSON text, its glyph rows) are mappings of their own; made
// afresh for every request, the kernel faults in and zeroes every page of
// them each time, about a tenth of a call on 100,000 code units. One spare
// per use is kept, of at most kLimit bytes, its pages given back lazily
// (MADV_FREE): the kernel takes them whenever it needs the memory, and a page
// it took reads as zeros, which a buffer about to be written over does not
// mind. The slot is one word, the page-aligned address with log2 of the size
// in its low bits, so taking and returning the spare are single atomic
// exchanges: no lock to hold across a fork.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

namespace tesvo {

class SpareMapping {
 public:
  static constexpr std::size_t kLimit = std::size_t{64} << 20;

  struct Taken {
    char *data;
    std::size_t size;  // a power of two; 0 when there was no spare
  };

  Taken take() {
    const std::uintptr_t word = slot_.exchange(0, std::memory_order_acquire);
    if (word == 0) return {nullptr, 0};
    return {reinterpret_cast<char *>(word & ~kLogMask), std::size_t{1} << (word & kLogMask)};
  }

  // Keeps the mapping of `size` bytes as the spare, or unmaps it.
  void give(char *data, std::size_t size) {
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const bool keepable = size <= kLimit && std::has_single_bit(size) && (address & kLogMask) == 0;
    if (keepable && ::madvise(data, size, MADV_FREE) == 0) {
      std::uintptr_t empty = 0;
      const auto word = address | static_cast<std::uintptr_t>(std::countr_zero(size));
      if (slot_.compare_exchange_strong(empty, word, std::memory_order_release)) return;
    }
    ::munmap(data, size);
  }

  // A mapping of at least `size` bytes (a power of two), its length stored
  // back in `size`: the spare, whole when it is as long, else grown to `size`
  // (its pages kept); without a spare a new mapping. Throws std::bad_alloc.
  char *map_at_least(std::size_t &size) {
    const Taken spare = take();
    if (spare.size >= size) {
      size = spare.size;
      return spare.data;
    }
    if (spare.size != 0) {
      void *grown = ::mremap(spare.data, spare.size, size, MREMAP_MAYMOVE);
      if (grown != MAP_FAILED) return static_cast<char *>(grown);
      ::munmap(spare.data, spare.size);
    }
    return fresh(size);
  }

  // A new mapping, backed by huge pages where the system allows it.
  static char *fresh(std::size_t size) {
    void *mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    ::madvise(mapping, size, MADV_HUGEPAGE);  // advice only: its failure changes nothing
    return static_cast<char *>(mapping);
  }

 private:
  static constexpr std::uintptr_t kLogMask = 0x3F;  // mappings are page aligned: 12 free bits
  std::atomic<std::uintptr_t> slot_{0};
};

}  // namespace tesvo
