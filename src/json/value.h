// The result value: a JSON tree of null, boolean, integer, string, array and
// object, with object keys kept in byte order.
//
// The tree is built for documents of millions of small glyph records, so a
// value is 16 bytes, an object entry 24, and a container is one allocation
// holding its elements inline. Keys of up to seven bytes (every key of the
// result document but a few) live inside the entry itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json/arena.h"  // DocumentArena, which a document's values are made in

namespace tesvo {

class Value;

// An object key: up to seven bytes inline, longer ones in one heap block.
class Key {
 public:
  explicit Key(std::string_view text);
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  Key(Key &&other) noexcept : bits_(other.bits_) { other.bits_ = kEmptyInline; }
  Key &operator=(Key &&other) noexcept;
  ~Key() { release(); }

  std::string_view view() const;
  Key clone() const { return Key(view()); }

 private:
  // Inline keys have the low bit set: byte 0 holds (length << 1) | 1 and the
  // text follows in bytes 1..7. Heap keys hold an aligned pointer (low bit 0).
  static constexpr std::uint64_t kEmptyInline = 1;
  void release();
  std::uint64_t bits_;
};

// The rows of a record array (Value::records), as the writer reads them: per
// record one word whose bit i marks cell i as a negative (signed) integer and,
// in records of at most kZeroMarkedKeys keys, bit 32 + i cell i as zero; then
// one word per key, in key order.
inline constexpr std::size_t kZeroMarkedKeys = 32;

struct RecordRows {
  std::span<const std::string_view> keys;
  const std::uint64_t *words;
  std::size_t count;
};

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, String, Array, Object };

  Value() : kind_(Kind::Null), u_(0) {}
  static Value boolean(bool b);
  static Value uinteger(std::uint64_t u);
  static Value integer(std::int64_t i);  // negative values stay signed, others unsigned
  static Value string(std::string_view text);
  static Value array(std::size_t reserve = 0);
  static Value object(std::size_t reserve = 0);

  // An array of records: objects that all have the given keys (in byte order,
  // at most 63, and outliving the array) and integer values. To every reader
  // it is an array of objects like any other. It keeps its records as rows of
  // integers in one block, without a block per record, until an element is
  // reached through at() or the array is changed other than by add_record and
  // append: then it turns into an ordinary array of objects, once.
  static Value records(std::span<const std::string_view> keys, std::size_t reserve = 0);
  // Appends one record; cells are integer values, one per key, in key order.
  void add_record(std::span<const Value> cells);
  // The same with each cell as Value::integer(cell) makes it.
  void add_record(std::span<const std::int64_t> cells);
  // Appends `count` such records, growing the array at most once: fill(i,
  // cells) writes the `keys` cells of record i to cells[0..keys).
  template <class Fill> void add_records(std::size_t count, std::size_t keys, Fill fill);
  // Moves every element of the array `other` to the end of this array.
  void append(Value other);
  // A new record array holding a copy of the records [first, first + count)
  // of this one, which still holds its rows.
  Value record_range(std::size_t first, std::size_t count) const;
  // The same records read where this array holds them, without a copy. The
  // rows are then shared: they stay for the view when this array grows, is
  // unpacked or goes (its rows then freed by their last view), and adding to
  // the view copies them first.
  Value record_view(std::size_t first, std::size_t count) const;
  // The rows of a record array that still holds them; nothing otherwise.
  std::optional<RecordRows> record_rows() const;

  Value(const Value &) = delete;
  Value &operator=(const Value &) = delete;
  Value(Value &&other) noexcept : kind_(other.kind_), rows_(other.rows_), u_(other.u_) {
    other.kind_ = Kind::Null;
    other.rows_ = false;
  }
  Value &operator=(Value &&other) noexcept;
  ~Value() {
    if (kind_ >= Kind::String) release();  // scalars own nothing
  }

  Value clone() const;

  Kind kind() const { return kind_; }
  bool as_bool() const { return u_ != 0; }
  std::uint64_t as_uint() const { return u_; }
  std::int64_t as_int() const { return static_cast<std::int64_t>(u_); }
  std::string_view as_string() const;

  // Arrays.
  std::size_t size() const;  // elements of an array, entries of an object
  void push(Value element);
  const Value &at(std::size_t index) const;
  Value &at(std::size_t index);

  // Objects: insert keeps byte order of keys; an existing key gets the new value.
  void insert(std::string_view key, Value value);
  const Value *find(std::string_view key) const;
  std::string_view key_at(std::size_t index) const;
  const Value &value_at(std::size_t index) const;

 private:
  struct StringBlock;
  struct ArrayBlock;
  struct ObjectBlock;
  struct RecordBlock;
  friend struct ObjectEntry;

  Value(Kind kind, std::uint64_t bits) : kind_(kind), u_(bits) {}
  void release();
  ArrayBlock *array_block() const;  // turns a record array into an ordinary one first
  ObjectBlock *object_block() const;
  RecordBlock *record_block() const;
  // Room for count more rows of `cells` cells, the block grown as needed;
  // commit_rows counts them in once written.
  std::uint64_t *reserve_rows(std::size_t count, std::size_t cells);
  void commit_rows(std::size_t count);
  void unpack_records() const;
  static void release_rows(RecordBlock *block);

  Kind kind_;
  // An array whose block is a RecordBlock. Reading an element turns it into
  // an ordinary array, so this and u_ may change in const functions.
  mutable bool rows_ = false;
  mutable std::uint64_t u_;  // the scalar, or the address of the heap block
};

template <class Fill> void Value::add_records(std::size_t count, std::size_t keys, Fill fill) {
  std::uint64_t *row = reserve_rows(count, keys);
  std::int64_t cells[64] = {};  // zeroed once per batch: a fill that skips a key adds 0
  for (std::size_t i = 0; i < count; ++i, row += keys + 1) {
    fill(i, cells);
    std::uint64_t negative = 0, zero = 0;
    for (std::size_t k = 0; k < keys; ++k) {
      negative |= static_cast<std::uint64_t>(cells[k] < 0) << k;
      zero |= static_cast<std::uint64_t>(cells[k] == 0) << k;
      row[k + 1] = static_cast<std::uint64_t>(cells[k]);
    }
    row[0] = keys <= kZeroMarkedKeys ? negative | zero << 32 : negative;
  }
  commit_rows(count);
}

static_assert(sizeof(Key) == 8);
static_assert(sizeof(Value) == 16);

}  // namespace tesvo
