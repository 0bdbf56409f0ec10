// The memory of the result values: the arena a document's values are made
// in, and the blocks the values take from it, from the heap or, when large,
// from memory mappings of their own.
#pragma once

#include <cstddef>

namespace tesvo {

// The blocks of the values of one document, while it is built, written and
// freed on this thread. A document of thousands of items makes a handful of
// small blocks for each (its message, its stage entry, the entry's keys and
// strings, the view of its glyph rows), tens of thousands in all, and frees
// them all at the end: block by block through malloc that costs about a
// tenth of the call on a text of 15,000 items, most of it the allocator
// merging freed blocks. While an arena is open, the values made on its
// thread take their blocks from one mapping of its own, one after the
// other, and give them back all at once when it closes; past the mapping's
// end, and for blocks of a memory mapping of their own, they go to the heap
// as before. Every value made while an arena is open must be gone when it
// closes. An arena opened while another is open on the thread leaves that
// one in use. A short text's document has few blocks, which malloc serves as
// fast as an arena: below kShortText code units no arena opens (taking and
// giving back its mapping cost a call on a few words a tenth more).
class DocumentArena {
 public:
  static constexpr std::size_t kShortText = 4096;
  explicit DocumentArena(std::size_t text_length);
  ~DocumentArena();
  DocumentArena(const DocumentArena &) = delete;
  DocumentArena &operator=(const DocumentArena &) = delete;

  struct Span {
    char *base;
    char *next;
    char *end;
  };

 private:
  Span span_{};
  bool open_ = false;
};

// The blocks the values are made of (json/value.cpp). Each throws
// std::bad_alloc when memory runs out.
namespace blocks {

// A block from the arena open on this thread, or from the heap when there is
// none, it is full, or the block is longer than an arena hands out.
void *allocate(std::size_t bytes);
// The block grown (or shrunk) to `bytes`, moved when it has to be.
void *reallocate(void *old, std::size_t bytes);
// Frees a block of allocate or reallocate; an arena's stays until it closes.
void release(void *block);

// A block of at least `bytes`; *usable receives how many bytes it has (more
// than asked when it is a mapping of its own, which the largest blocks are).
void *allocate_large(std::size_t bytes, std::size_t *usable);
// Grows a block of old_bytes to at least bytes (more); *usable as above.
void *grow_large(void *old, std::size_t old_bytes, std::size_t bytes, std::size_t *usable);
// Frees a block of allocate_large or grow_large that is `bytes` long.
void free_large(void *block, std::size_t bytes);

}  // namespace blocks

}  // namespace tesvo
