// A finished memory mapping kept for the next request. The large blocks of a
// long text (its JSON text, its glyph rows) are mappings of their own; made
// afresh for every request, the kernel faults in and zeroes every page of
// them each time, about a tenth of a call on 100,000 code units. One spare
// per use is kept, of at most kLimit bytes. Up to kResident bytes it stays
// as it is, its pages in memory: given back lazily (MADV_FREE), a huge page
// was taken back at once here and faulted in and zeroed again by the next
// text (6 faults of 2 MiB a call on 100,000 code units, a tenth of the
// binding's own cost). A larger spare's pages are given back lazily: the
// kernel takes them whenever it needs the memory, and a page it took reads
// as zeros, which a buffer about to be written over does not mind. So a
// process keeps at most kResident bytes per use it would not otherwise
// hold. The slot is one word, the page-aligned address with log2 of the size
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
  static constexpr std::size_t kResident = std::size_t{16} << 20;

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
    if (keepable && (size <= kResident || ::madvise(data, size, MADV_FREE) == 0)) {
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

// Blocks for the per-text arrays of the structured results that grow to
// megabytes (a text's glyph records): from kSparedBlock bytes on a mapping of
// its own, the last one freed kept for the next text; smaller ones from the
// heap. On the heap such an array grows it by megabytes for every text, and
// once the allocator trims the heap after the text, the next one faults the
// pages in again. Thread-safe, as SpareMapping is.
inline constexpr std::size_t kSparedBlock = std::size_t{1} << 20;
void *allocate_spared(std::size_t bytes);
void free_spared(void *block, std::size_t bytes);

// A std::allocator over allocate_spared and free_spared.
template <class T> struct SpareAllocator {
  using value_type = T;
  SpareAllocator() = default;
  template <class U> SpareAllocator(const SpareAllocator<U> &) noexcept {}
  T *allocate(std::size_t n) { return static_cast<T *>(allocate_spared(n * sizeof(T))); }
  void deallocate(T *p, std::size_t n) noexcept { free_spared(p, n * sizeof(T)); }
  template <class U> bool operator==(const SpareAllocator<U> &) const noexcept { return true; }
};

}  // namespace tesvo
