// The result value's storage: inline and heap keys and strings, arrays,
// objects kept in key order and record arrays, in the blocks of json/arena.h.
#include "json/value.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/result.h"
#include "json/arena.h"

namespace tesvo {

namespace {

// Heap text: a length followed by the bytes.
char *make_text_block(std::string_view text) {
  auto *block = static_cast<char *>(blocks::allocate(sizeof(std::size_t) + text.size()));
  std::size_t length = text.size();
  std::memcpy(block, &length, sizeof length);
  if (!text.empty()) std::memcpy(block + sizeof length, text.data(), text.size());
  return block;
}

std::string_view text_block_view(const char *block) {
  std::size_t length;
  std::memcpy(&length, block, sizeof length);
  return {block + sizeof length, length};
}

template <class T> std::uint64_t address_bits(T *p) { return reinterpret_cast<std::uintptr_t>(p); }
template <class T> T *bits_address(std::uint64_t bits) {
  return reinterpret_cast<T *>(static_cast<std::uintptr_t>(bits));
}

}  // namespace

// ---- Key -------------------------------------------------------------------

Key::Key(std::string_view text) {
  if (text.size() <= 7) {
    bits_ = (static_cast<std::uint64_t>(text.size()) << 1) | 1U;
    for (std::size_t i = 0; i < text.size(); ++i)
      bits_ |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << (8 * (i + 1));
    return;
  }
  bits_ = address_bits(make_text_block(text));
}

Key &Key::operator=(Key &&other) noexcept {
  if (this != &other) {
    release();
    bits_ = other.bits_;
    other.bits_ = kEmptyInline;
  }
  return *this;
}

void Key::release() {
  if ((bits_ & 1U) == 0) blocks::release(bits_address<char>(bits_));
  bits_ = kEmptyInline;
}

std::string_view Key::view() const {
  if ((bits_ & 1U) == 0) return text_block_view(bits_address<const char>(bits_));
  // Little-endian: the text sits in bytes 1..7 of bits_.
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
  const auto *bytes = reinterpret_cast<const char *>(&bits_);
  return {bytes + 1, static_cast<std::size_t>((bits_ & 0xFFU) >> 1)};
}

// ---- containers --------------------------------------------------------------

// Elements and entries are relocated by bytes when a container grows: a Value
// and a Key are a tag and plain bits, with no pointers into themselves.
struct Value::ArrayBlock {
  std::size_t size;
  std::size_t capacity;
  Value *items() { return reinterpret_cast<Value *>(this + 1); }
};

struct ObjectEntry {
  Key key;
  Value value;
};
static_assert(sizeof(ObjectEntry) == 24);

struct Value::ObjectBlock {
  std::size_t size;
  std::size_t capacity;
  ObjectEntry *entries() { return reinterpret_cast<ObjectEntry *>(this + 1); }
};

// A record array: per record a word of sign bits and one word per key. Its
// block is allocated with blocks::allocate_large and friends, by its byte size.
struct Value::RecordBlock {
  std::size_t size;
  std::size_t capacity;
  const std::string_view *keys;
  std::size_t key_count;
  // Rows that views (record_view) read are shared: `views` counts them, and
  // rows whose array let go of them while views remained are `orphaned`,
  // freed by the last view. A view holds no rows, only where they are (a
  // ViewOf after its header); its capacity is 0 for records it has, which no
  // block of rows has.
  std::size_t views;
  bool orphaned;
  struct ViewOf {
    RecordBlock *rows;
    std::size_t first;
  };
  std::size_t stride() const { return key_count + 1; }
  bool is_view() const { return capacity == 0 && size != 0; }
  ViewOf &view_of() { return *reinterpret_cast<ViewOf *>(this + 1); }
  std::uint64_t *words() {
    if (is_view()) return view_of().rows->words() + view_of().first * stride();
    return reinterpret_cast<std::uint64_t *>(this + 1);
  }
  static std::size_t bytes(std::size_t capacity, std::size_t key_count) {
    return sizeof(RecordBlock) + capacity * (key_count + 1) * sizeof(std::uint64_t);
  }
  std::size_t bytes() const { return bytes(capacity, key_count); }
  // The records that `bytes` bytes hold: a mapped block fills its mapping,
  // so that its byte size gives the mapping's length back.
  static std::size_t capacity_for(std::size_t bytes, std::size_t key_count) {
    return (bytes - sizeof(RecordBlock)) / ((key_count + 1) * sizeof(std::uint64_t));
  }
};

// An array lets go of its block: a view's, and then the rows it read if it
// was their last view and their array had let go of them; rows that views
// still read stay for them.
void Value::release_rows(RecordBlock *block) {
  if (block->is_view()) {
    RecordBlock *rows = block->view_of().rows;
    blocks::release(block);
    if (--rows->views == 0 && rows->orphaned) blocks::free_large(rows, rows->bytes());
    return;
  }
  if (block->views > 0) {
    block->orphaned = true;
    return;
  }
  blocks::free_large(block, block->bytes());
}

namespace {

template <class Block, class Element> Block *make_block(std::size_t capacity) {
  auto *block = static_cast<Block *>(blocks::allocate(sizeof(Block) + capacity * sizeof(Element)));
  block->size = 0;
  block->capacity = capacity;
  return block;
}

template <class Block, class Element> Block *grow_block(Block *block) {
  std::size_t capacity = block->capacity < 4 ? 4 : block->capacity * 2;
  auto *grown =
      static_cast<Block *>(blocks::reallocate(static_cast<void *>(block), sizeof(Block) + capacity * sizeof(Element)));
  grown->capacity = capacity;
  return grown;
}

}  // namespace

Value Value::boolean(bool b) { return Value(Kind::Bool, b ? 1 : 0); }
Value Value::uinteger(std::uint64_t u) { return Value(Kind::UInt, u); }
Value Value::integer(std::int64_t i) {
  if (i >= 0) return Value(Kind::UInt, static_cast<std::uint64_t>(i));
  return Value(Kind::Int, static_cast<std::uint64_t>(i));
}
Value Value::string(std::string_view text) { return Value(Kind::String, address_bits(make_text_block(text))); }
Value Value::array(std::size_t reserve) {
  return Value(Kind::Array, address_bits(make_block<ArrayBlock, Value>(reserve)));
}
Value Value::object(std::size_t reserve) {
  return Value(Kind::Object, address_bits(make_block<ObjectBlock, ObjectEntry>(reserve)));
}

Value &Value::operator=(Value &&other) noexcept {
  if (this != &other) {
    release();
    kind_ = other.kind_;
    rows_ = other.rows_;
    u_ = other.u_;
    other.kind_ = Kind::Null;
    other.rows_ = false;
  }
  return *this;
}

Value::ArrayBlock *Value::array_block() const {
  if (kind_ != Kind::Array) throw EnginePanic("result value: not an array");
  if (rows_) unpack_records();
  return bits_address<ArrayBlock>(u_);
}

Value::RecordBlock *Value::record_block() const {
  if (kind_ != Kind::Array || !rows_) throw EnginePanic("result value: not a record array");
  return bits_address<RecordBlock>(u_);
}

Value::ObjectBlock *Value::object_block() const {
  if (kind_ != Kind::Object) throw EnginePanic("result value: not an object");
  return bits_address<ObjectBlock>(u_);
}

void Value::release() {
  switch (kind_) {
    case Kind::String:
      blocks::release(bits_address<char>(u_));
      break;
    case Kind::Array: {
      if (rows_) {
        release_rows(bits_address<RecordBlock>(u_));
        break;
      }
      ArrayBlock *block = bits_address<ArrayBlock>(u_);
      for (std::size_t i = 0; i < block->size; ++i) block->items()[i].~Value();
      blocks::release(block);
      break;
    }
    case Kind::Object: {
      ObjectBlock *block = bits_address<ObjectBlock>(u_);
      for (std::size_t i = 0; i < block->size; ++i) block->entries()[i].~ObjectEntry();
      blocks::release(block);
      break;
    }
    default:
      break;
  }
  kind_ = Kind::Null;
  rows_ = false;
}

Value Value::clone() const {
  switch (kind_) {
    case Kind::String:
      return string(as_string());
    case Kind::Array: {
      if (rows_) {
        const RecordBlock *from = record_block();
        std::size_t bytes = from->size * from->stride() * sizeof(std::uint64_t);
        std::size_t usable = 0;
        auto *to = static_cast<RecordBlock *>(
            blocks::allocate_large(RecordBlock::bytes(from->size, from->key_count), &usable));
        *to = *from;
        to->capacity = RecordBlock::capacity_for(usable, from->key_count);
        to->views = 0;
        to->orphaned = false;
        if (bytes > 0) std::memcpy(to->words(), const_cast<RecordBlock *>(from)->words(), bytes);
        Value copy(Kind::Array, address_bits(to));
        copy.rows_ = true;
        return copy;
      }
      ArrayBlock *from = array_block();
      Value copy = array(from->size);
      for (std::size_t i = 0; i < from->size; ++i) copy.push(from->items()[i].clone());
      return copy;
    }
    case Kind::Object: {
      ObjectBlock *from = object_block();
      Value copy = object(from->size);
      ObjectBlock *to = copy.object_block();
      // Keys are already in order: append without searching.
      for (std::size_t i = 0; i < from->size; ++i) {
        ObjectEntry &entry = from->entries()[i];
        new (&to->entries()[i]) ObjectEntry{entry.key.clone(), entry.value.clone()};
        to->size = i + 1;
      }
      return copy;
    }
    default:
      return Value(kind_, u_);
  }
}

std::string_view Value::as_string() const {
  if (kind_ != Kind::String) throw EnginePanic("result value: not a string");
  return text_block_view(bits_address<const char>(u_));
}

std::size_t Value::size() const {
  if (kind_ == Kind::Object) return object_block()->size;
  if (kind_ == Kind::Array && rows_) return record_block()->size;
  return array_block()->size;
}

// ---- record arrays -------------------------------------------------------------

Value Value::records(std::span<const std::string_view> keys, std::size_t reserve) {
  if (keys.size() > 63) throw EnginePanic("result value: a record has more than 63 keys");
  for (std::size_t i = 1; i < keys.size(); ++i)
    if (!(keys[i - 1] < keys[i])) throw EnginePanic("result value: record keys out of order");
  std::size_t usable = 0;
  auto *block = static_cast<RecordBlock *>(blocks::allocate_large(RecordBlock::bytes(reserve, keys.size()), &usable));
  *block = RecordBlock{0, RecordBlock::capacity_for(usable, keys.size()), keys.data(), keys.size(), 0, false};
  Value list(Kind::Array, address_bits(block));
  list.rows_ = true;
  return list;
}

std::uint64_t *Value::reserve_rows(std::size_t count, std::size_t cells) {
  if (record_block()->is_view()) *this = clone();  // rows of its own before any is added
  RecordBlock *block = record_block();
  if (cells != block->key_count) throw EnginePanic("result value: record of the wrong size");
  if (count > block->capacity - block->size) {
    std::size_t capacity = std::max<std::size_t>(block->capacity, 4);
    while (capacity - block->size < count) capacity *= 2;
    std::size_t usable = 0;
    const std::size_t bytes = RecordBlock::bytes(capacity, block->key_count);
    if (block->views > 0) {
      // Views read these rows where they are: they stay, and the array goes on in a copy.
      auto *grown = static_cast<RecordBlock *>(blocks::allocate_large(bytes, &usable));
      std::memcpy(static_cast<void *>(grown), block, RecordBlock::bytes(block->size, block->key_count));
      grown->views = 0;
      release_rows(block);
      block = grown;
    } else {
      block = static_cast<RecordBlock *>(blocks::grow_large(block, block->bytes(), bytes, &usable));
    }
    block->capacity = RecordBlock::capacity_for(usable, block->key_count);
    u_ = address_bits(block);
  }
  return block->words() + block->size * block->stride();
}

void Value::commit_rows(std::size_t count) { record_block()->size += count; }

void Value::add_record(std::span<const Value> cells) {
  std::uint64_t *row = reserve_rows(1, cells.size());
  std::uint64_t negative = 0, zero = 0;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (cells[i].kind_ == Kind::Int)
      negative |= std::uint64_t{1} << i;
    else if (cells[i].kind_ != Kind::UInt)
      throw EnginePanic("result value: a record cell that is not an integer");
    zero |= static_cast<std::uint64_t>(cells[i].u_ == 0) << i;
    row[i + 1] = cells[i].u_;
  }
  row[0] = cells.size() <= kZeroMarkedKeys ? negative | zero << 32 : negative;
  commit_rows(1);
}

void Value::add_record(std::span<const std::int64_t> cells) {
  add_records(1, cells.size(), [&](std::size_t, std::int64_t *out) { std::copy(cells.begin(), cells.end(), out); });
}

void Value::append(Value other) {
  if (kind_ != Kind::Array || other.kind_ != Kind::Array) throw EnginePanic("result value: not an array");
  if (rows_ && other.rows_) {
    RecordBlock *to = record_block();
    const RecordBlock *from = other.record_block();
    bool same_keys = to->key_count == from->key_count &&
                     std::equal(to->keys, to->keys + to->key_count, from->keys);
    if (same_keys) {
      std::uint64_t *rows = reserve_rows(from->size, from->key_count);
      std::memcpy(rows, const_cast<RecordBlock *>(from)->words(), from->size * from->stride() * sizeof(std::uint64_t));
      commit_rows(from->size);
      return;
    }
  }
  for (std::size_t i = 0, n = other.size(); i < n; ++i) push(std::move(other.at(i)));
}

Value Value::record_range(std::size_t first, std::size_t count) const {
  const RecordBlock *from = record_block();
  if (first > from->size || count > from->size - first) throw EnginePanic("result value: record range out of bounds");
  // The keys are this array's, checked when it was made.
  std::size_t usable = 0;
  auto *block =
      static_cast<RecordBlock *>(blocks::allocate_large(RecordBlock::bytes(count, from->key_count), &usable));
  *block = RecordBlock{count, RecordBlock::capacity_for(usable, from->key_count), from->keys, from->key_count, 0, false};
  if (count > 0)
    std::memcpy(block->words(), const_cast<RecordBlock *>(from)->words() + first * from->stride(),
                count * from->stride() * sizeof(std::uint64_t));
  Value out(Kind::Array, address_bits(block));
  out.rows_ = true;
  return out;
}

Value Value::record_view(std::size_t first, std::size_t count) const {
  RecordBlock *from = record_block();
  if (first > from->size || count > from->size - first) throw EnginePanic("result value: record range out of bounds");
  if (count == 0) return record_range(first, 0);
  RecordBlock::ViewOf of{from, first};
  if (from->is_view()) of = RecordBlock::ViewOf{from->view_of().rows, from->view_of().first + first};
  std::size_t usable = 0;
  auto *block =
      static_cast<RecordBlock *>(blocks::allocate_large(sizeof(RecordBlock) + sizeof(RecordBlock::ViewOf), &usable));
  *block = RecordBlock{count, 0, from->keys, from->key_count, 0, false};
  new (&block->view_of()) RecordBlock::ViewOf(of);
  ++of.rows->views;
  Value out(Kind::Array, address_bits(block));
  out.rows_ = true;
  return out;
}

std::optional<RecordRows> Value::record_rows() const {
  if (kind_ != Kind::Array || !rows_) return std::nullopt;
  RecordBlock *block = record_block();
  return RecordRows{{block->keys, block->key_count}, block->words(), block->size};
}

void Value::unpack_records() const {
  RecordBlock *rows = bits_address<RecordBlock>(u_);
  Value list = array(rows->size);
  ArrayBlock *out = bits_address<ArrayBlock>(list.u_);
  for (std::size_t i = 0; i < rows->size; ++i) {
    const std::uint64_t *row = rows->words() + i * rows->stride();
    Value record = object(rows->key_count);
    ObjectBlock *entries = record.object_block();
    for (std::size_t k = 0; k < rows->key_count; ++k) {
      Kind kind = (row[0] >> k & 1U) != 0 ? Kind::Int : Kind::UInt;
      new (&entries->entries()[k]) ObjectEntry{Key(rows->keys[k]), Value(kind, row[k + 1])};
      entries->size = k + 1;
    }
    new (&out->items()[i]) Value(std::move(record));
    out->size = i + 1;
  }
  release_rows(rows);
  u_ = list.u_;
  rows_ = false;
  list.kind_ = Kind::Null;  // its block is ours now
}

void Value::push(Value element) {
  ArrayBlock *block = array_block();
  if (block->size == block->capacity) {
    block = grow_block<ArrayBlock, Value>(block);
    u_ = address_bits(block);
  }
  new (&block->items()[block->size]) Value(std::move(element));
  ++block->size;
}

const Value &Value::at(std::size_t index) const {
  ArrayBlock *block = array_block();
  if (index >= block->size) throw EnginePanic("result value: array index out of range");
  return block->items()[index];
}

Value &Value::at(std::size_t index) {
  ArrayBlock *block = array_block();
  if (index >= block->size) throw EnginePanic("result value: array index out of range");
  return block->items()[index];
}

void Value::insert(std::string_view key, Value value) {
  ObjectBlock *block = object_block();
  // Documents are mostly built in key order: try the end first.
  std::size_t low = 0, high = block->size;
  if (high > 0 && block->entries()[high - 1].key.view() < key) low = high;
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    if (block->entries()[mid].key.view() < key)
      low = mid + 1;
    else
      high = mid;
  }
  if (low < block->size && block->entries()[low].key.view() == key) {
    block->entries()[low].value = std::move(value);
    return;
  }
  Key owned_key(key);  // may allocate: done before any entry is moved
  if (block->size == block->capacity) {
    block = grow_block<ObjectBlock, ObjectEntry>(block);
    u_ = address_bits(block);
  }
  ObjectEntry *entries = block->entries();
  std::memmove(static_cast<void *>(entries + low + 1), static_cast<void *>(entries + low),
               (block->size - low) * sizeof(ObjectEntry));
  new (&entries[low]) ObjectEntry{std::move(owned_key), std::move(value)};
  ++block->size;
}

const Value *Value::find(std::string_view key) const {
  ObjectBlock *block = object_block();
  for (std::size_t i = 0; i < block->size; ++i)
    if (block->entries()[i].key.view() == key) return &block->entries()[i].value;
  return nullptr;
}

std::string_view Value::key_at(std::size_t index) const {
  ObjectBlock *block = object_block();
  if (index >= block->size) throw EnginePanic("result value: entry index out of range");
  return block->entries()[index].key.view();
}

const Value &Value::value_at(std::size_t index) const {
  ObjectBlock *block = object_block();
  if (index >= block->size) throw EnginePanic("result value: entry index out of range");
  return block->entries()[index].value;
}

}  // namespace tesvo
