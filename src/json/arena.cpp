// The document arena and the blocks of the result values: blocks of the
// arena, of the heap, and the large blocks that are memory mappings of their
// own.
#include "json/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/spare_mapping.h"

namespace tesvo {

namespace {

// The arena open on this thread, if any (see DocumentArena).
thread_local DocumentArena::Span *t_arena = nullptr;
// The mapping of the last arena closed, for the next (see spare_mapping.h).
constinit SpareMapping g_arena_spare;

// An arena block: its length in a header in front, and a multiple of the
// header's size long, so that every block keeps malloc's alignment.
constexpr std::size_t kArenaHeader = 16;
// The largest block an arena hands out. The many blocks of a document are
// small (an item's strings, entries and glyph rows); its few long arrays
// grow by doubling, which in an arena copies them each time (realloc mostly
// does not): they stay on the heap, measured about 2 % faster so.
constexpr std::size_t kArenaLargest = 2048;

std::size_t arena_footprint(std::size_t bytes) {
  return kArenaHeader + (bytes + kArenaHeader - 1) / kArenaHeader * kArenaHeader;
}

std::size_t arena_length(const void *block) {
  std::size_t length;
  std::memcpy(&length, static_cast<const char *>(block) - kArenaHeader, sizeof length);
  return length;
}

bool in_arena(const void *block) {
  const DocumentArena::Span *arena = t_arena;
  const auto *p = static_cast<const char *>(block);
  return arena != nullptr && p >= arena->base && p < arena->end;
}

// A block from the open arena, or null when there is none or no room.
void *arena_block(std::size_t bytes) {
  DocumentArena::Span *arena = t_arena;
  if (arena == nullptr || bytes > kArenaLargest) return nullptr;
  const std::size_t footprint = arena_footprint(bytes);
  if (static_cast<std::size_t>(arena->end - arena->next) < footprint) return nullptr;
  char *block = arena->next + kArenaHeader;
  std::memcpy(arena->next, &bytes, sizeof bytes);
  arena->next += footprint;
  return block;
}

// The glyph lists of a long text reach hundreds of megabytes. Blocks from
// kMappedBlock bytes on are memory mappings of their own, grown by mremap
// (which moves pages instead of copying them) and backed by huge pages where
// the system allows it: fresh memory costs a page fault per 4 KiB otherwise.
// Whether a block is mapped follows from its byte size alone, and the mapping
// of the last one freed is kept for the next (see spare_mapping.h).
constexpr std::size_t kMappedBlock = std::size_t{4} << 20;
constinit SpareMapping g_rows_spare;

// Mappings are a power of two long, at least a huge page: the kernel places
// such a mapping on a huge page boundary, and only aligned huge pages can
// back it.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
std::size_t mapping_size(std::size_t bytes) { return std::bit_ceil(std::max(bytes, kHugePage)); }

}  // namespace

// ---- DocumentArena -----------------------------------------------------------

DocumentArena::DocumentArena(std::size_t text_length) {
  if (t_arena != nullptr || text_length < kShortText) return;  // the open one serves, or the heap
  std::size_t size = SpareMapping::kLimit;
  try {
    span_.base = g_arena_spare.map_at_least(size);
  } catch (const std::bad_alloc &) {
    return;  // no arena: blocks come from the heap
  }
  span_.next = span_.base;
  span_.end = span_.base + size;
  t_arena = &span_;
  open_ = true;
}

DocumentArena::~DocumentArena() {
  if (!open_) return;
  t_arena = nullptr;
  g_arena_spare.give(span_.base, static_cast<std::size_t>(span_.end - span_.base));
}

// ---- blocks ------------------------------------------------------------------

namespace blocks {

void *allocate(std::size_t bytes) {
  if (void *p = arena_block(bytes)) return p;
  void *p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void *reallocate(void *old, std::size_t bytes) {
  if (old != nullptr && in_arena(old)) {
    DocumentArena::Span *arena = t_arena;
    const std::size_t length = arena_length(old);
    char *const start = static_cast<char *>(old) - kArenaHeader;
    // The last block handed out grows where it is.
    if (start + arena_footprint(length) == arena->next &&
        static_cast<std::size_t>(arena->end - start) >= arena_footprint(bytes)) {
      std::memcpy(start, &bytes, sizeof bytes);
      arena->next = start + arena_footprint(bytes);
      return old;
    }
    void *grown = allocate(bytes);
    std::memcpy(grown, old, std::min(length, bytes));
    return grown;
  }
  void *p = std::realloc(old, bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void release(void *block) {
  if (!in_arena(block)) std::free(block);
}

void *allocate_large(std::size_t bytes, std::size_t *usable) {
  *usable = bytes;
  if (bytes < kMappedBlock) return allocate(bytes);
  *usable = mapping_size(bytes);
  return g_rows_spare.map_at_least(*usable);
}

void *grow_large(void *old, std::size_t old_bytes, std::size_t bytes, std::size_t *usable) {
  *usable = bytes;
  if (bytes < kMappedBlock) return reallocate(old, bytes);
  if (old_bytes >= kMappedBlock) {
    const std::size_t old_size = mapping_size(old_bytes);
    *usable = mapping_size(bytes);
    if (*usable == old_size) return old;
    void *grown = ::mremap(old, old_size, *usable, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) throw std::bad_alloc();
    return grown;
  }
  void *grown = allocate_large(bytes, usable);
  std::memcpy(grown, old, old_bytes);
  release(old);
  return grown;
}

void free_large(void *block, std::size_t bytes) {
  if (bytes >= kMappedBlock)
    g_rows_spare.give(static_cast<char *>(block), mapping_size(bytes));
  else
    release(block);
}

}  // namespace blocks

}  // namespace tesvo
