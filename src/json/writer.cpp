// The JSON text of a result value: the output buffer and its reused memory
// mapping, the writer for every kind of value, and the compact form.
#include "json/writer.h"

#include <sys/mman.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/spare_mapping.h"
#include "json/escape.h"

namespace tesvo {

namespace {

// The mapping of the last finished text, for the next one (see spare_mapping.h).
constinit SpareMapping g_text_spare;

// Growable output buffer. It starts at 128 bytes and at least doubles. From
// kMapped bytes on it is a memory mapping of its own, grown by mremap, which
// moves pages instead of copying them, and backed by huge pages where the
// system allows it, which saves a page fault per 4 KiB of a long text.
class Output {
 public:
  Output() : data_(static_cast<char *>(std::malloc(kInitial))), capacity_(kInitial) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;
  ~Output() {
    if (data_ != nullptr) release(data_, mapped_ ? capacity_ : 0);
  }

  void reserve_more(std::size_t n) {
    if (capacity_ - size_ < n) [[unlikely]]
      grow_for(n);
  }
  // Callers reserve first; these only write.
  void put(char c) { data_[size_++] = c; }
  void put(const char *text, std::size_t n) {
    std::memcpy(data_ + size_, text, n);
    size_ += n;
  }
  char *cursor() { return data_ + size_; }
  void advance(std::size_t n) { size_ += n; }
  std::string_view view() const { return {data_, size_}; }

  JsonText finish() {
    JsonText text(data_, size_, mapped_ ? capacity_ : 0);
    data_ = nullptr;
    return text;
  }

  static void release(char *data, std::size_t mapped) {
    if (mapped != 0)
      g_text_spare.give(data, mapped);
    else
      std::free(data);
  }

 private:
  static constexpr std::size_t kInitial = 128;
  static constexpr std::size_t kMapped = std::size_t{4} << 20;

  [[gnu::noinline]] void grow_for(std::size_t n) {
    std::size_t capacity = capacity_ * 2;
    while (capacity - size_ < n) capacity *= 2;
    grow(capacity);
  }

  void grow(std::size_t capacity) {
    if (capacity < kMapped) {
      char *grown = static_cast<char *>(std::realloc(data_, capacity));
      if (grown == nullptr) throw std::bad_alloc();
      data_ = grown;
    } else if (mapped_) {
      void *grown = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
      if (grown == MAP_FAILED) throw std::bad_alloc();
      data_ = static_cast<char *>(grown);
    } else {
      char *mapping = first_mapping(capacity);
      std::memcpy(mapping, data_, size_);
      std::free(data_);
      data_ = mapping;
      mapped_ = true;
    }
    capacity_ = capacity;
  }

  // The spare mapping when there is one, grown to `capacity` or taken whole
  // when larger (capacity is updated); otherwise a new mapping.
  static char *first_mapping(std::size_t &capacity) { return g_text_spare.map_at_least(capacity); }

  char *data_;
  std::size_t size_ = 0;
  std::size_t capacity_;
  bool mapped_ = false;
};

class Writer {
 public:
  // compact: without the layout (no line breaks or indentation, ':' alone).
  explicit Writer(Output &out, bool compact = false) : out_(out), compact_(compact) {}

  void value(const Value &v, std::size_t depth) {
    switch (v.kind()) {
      case Value::Kind::Null:
        literal("null", 4);
        return;
      case Value::Kind::Bool:
        if (v.as_bool())
          literal("true", 4);
        else
          literal("false", 5);
        return;
      case Value::Kind::UInt:
        number(v.as_uint());
        return;
      case Value::Kind::Int:
        number(v.as_int());
        return;
      case Value::Kind::String:
        string(v.as_string());
        return;
      case Value::Kind::Array:
        array(v, depth);
        return;
      case Value::Kind::Object:
        object(v, depth);
        return;
    }
  }

 private:
  void literal(const char *text, std::size_t n) {
    out_.reserve_more(n);
    out_.put(text, n);
  }

  template <class Int> void number(Int n) {
    out_.reserve_more(24);
    auto [end, ec] = std::to_chars(out_.cursor(), out_.cursor() + 24, n);
    (void)ec;  // 24 bytes hold every 64-bit integer
    out_.advance(static_cast<std::size_t>(end - out_.cursor()));
  }

  // Line break, then 2 * depth spaces; nothing in the compact form.
  void newline(std::size_t depth) {
    if (compact_) return;
    std::size_t n = 2 * depth;
    out_.reserve_more(n + 1);
    out_.put('\n');
    std::memset(out_.cursor(), ' ', n);
    out_.advance(n);
  }

  void string(std::string_view text) {
    // Worst case every byte becomes a six-byte \u00XX escape.
    out_.reserve_more(text.size() * 6 + 2);
    out_.put('"');
    std::size_t run = 0;  // start of the pending run of bytes copied as they are
    for (std::size_t i = 0; i < text.size(); ++i) {
      // Eight bytes at a time while none of them needs an escape.
      while (i + 8 <= text.size() && !any_json_escape(text.data() + i)) i += 8;
      if (i == text.size()) break;
      auto c = static_cast<unsigned char>(text[i]);
      if (!needs_json_escape(c)) continue;
      out_.put(text.data() + run, i - run);
      run = i + 1;
      escape(c);
    }
    out_.put(text.data() + run, text.size() - run);
    out_.put('"');
  }

  void escape(unsigned char c) {
    char escaped[kJsonEscapeMax];
    out_.put(escaped, json_escape(c, escaped));
  }

  void array(const Value &v, std::size_t depth) {
    if (std::optional<RecordRows> rows = v.record_rows()) return records(*rows, depth);
    std::size_t n = v.size();
    if (n == 0) return literal("[]", 2);
    literal("[", 1);
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) literal(",", 1);
      newline(depth + 1);
      value(v.at(i), depth + 1);
    }
    newline(depth);
    literal("]", 1);
  }

  void object(const Value &v, std::size_t depth) {
    std::size_t n = v.size();
    if (n == 0) return literal("{}", 2);
    literal("{", 1);
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) literal(",", 1);
      newline(depth + 1);
      string(v.key_at(i));
      literal(": ", compact_ ? 1 : 2);
      value(v.value_at(i), depth + 1);
    }
    newline(depth);
    literal("}", 1);
  }

  // The text between the numbers of a record array's records: the same for
  // every record of every record array with these keys at this depth. Piece
  // k comes before the value of key k (the first piece opens the record, with
  // the comma before it for every record but the first), and the last piece
  // closes it. Each piece sits at the start of its own slot of whole chunks,
  // so that it can be copied in chunks of a size fixed at compile time.
  //
  // Most cells of a glyph record are zero ("ay", "dx", "dy", "flags"), and
  // records with the same zero cells have the same text between their other
  // numbers. So for arrays of up to kMaskedKeys keys, each record after the
  // first is written from the layout of its zero cells: the segments around
  // its non-zero cells, zeros and pieces joined, each a slot of its own. A
  // layout is made when a record first has its zero cells.
  static constexpr std::size_t kMaskedKeys = 8;
  struct Layout {
    std::uint32_t count = 0;                                 // non-zero cells
    std::array<std::uint8_t, kMaskedKeys> cells{};           // which, in key order
    std::array<std::uint32_t, kMaskedKeys + 1> offsets{};    // per segment: its slot
    std::array<std::uint32_t, kMaskedKeys + 1> sizes{};      // per segment: its length
  };

  struct RecordText {
    const std::string_view *keys = nullptr;
    std::size_t key_count = 0;
    std::size_t depth = 0;
    std::string slots;                 // the pieces, each padded to whole chunks
    std::vector<std::size_t> offsets;  // per piece: its slot; the first record's first piece last
    std::vector<std::size_t> sizes;    // per piece: its length
    std::size_t room = 0;              // room for one record, numbers and chunk slack included
    std::vector<std::int32_t> layout_of;  // per mask of zero cells: its layout, -1 until made
    std::vector<Layout> layouts;
  };

  static constexpr std::size_t kChunk = 32;

  // Appends text to the slots, padded to whole chunks; returns its offset.
  static std::size_t add_slot(std::string &slots, std::string_view text) {
    const std::size_t offset = slots.size();
    slots += text;
    slots.resize(slots.size() + (kChunk - text.size() % kChunk), '\0');
    return offset;
  }

  // The layout of records whose zero cells are the bits of `mask`.
  static const Layout &layout(RecordText &t, std::uint64_t mask) {
    const std::int32_t made = t.layout_of[mask];
    if (made >= 0) [[likely]]
      return t.layouts[static_cast<std::size_t>(made)];
    return make_layout(t, mask);
  }

  [[gnu::noinline]] static const Layout &make_layout(RecordText &t, std::uint64_t mask) {
    const auto piece = [&](std::size_t i) { return std::string(t.slots, t.offsets[i], t.sizes[i]); };
    std::vector<std::string> segments(1, piece(0));
    Layout made;
    for (std::size_t k = 0; k < t.key_count; ++k) {
      if (k > 0) segments.back() += piece(k);
      if ((mask >> k & 1U) != 0) {
        segments.back() += '0';
        continue;
      }
      made.cells[made.count++] = static_cast<std::uint8_t>(k);
      segments.emplace_back();
    }
    segments.back() += piece(t.sizes.size() - 2);
    for (std::size_t j = 0; j < segments.size(); ++j) {
      made.offsets[j] = static_cast<std::uint32_t>(add_slot(t.slots, segments[j]));
      made.sizes[j] = static_cast<std::uint32_t>(segments[j].size());
    }
    t.layout_of[mask] = static_cast<std::int32_t>(t.layouts.size());
    t.layouts.push_back(made);
    return t.layouts.back();
  }

  RecordText &record_text(const RecordRows &rows, std::size_t depth) {
    RecordText &t = record_text_;
    if (t.keys == rows.keys.data() && t.key_count == rows.keys.size() && t.depth == depth && !t.sizes.empty())
      return t;
    const std::size_t keys = rows.keys.size();
    // A line break and the indentation of a level; nothing in the compact form.
    auto layout = [this](std::size_t level) {
      std::string text;
      if (!compact_) {
        text += '\n';
        text.append(2 * level, ' ');
      }
      return text;
    };
    const std::string outer = layout(depth + 1);
    const std::string inner = layout(depth + 2);
    std::vector<std::string> pieces;
    for (std::size_t k = 0; k < keys; ++k) {
      Output quoted;
      Writer(quoted).string(rows.keys[k]);
      std::string piece = k == 0 ? std::string() : std::string(",");
      piece += inner;
      piece += quoted.view();
      piece += compact_ ? ":" : ": ";
      pieces.push_back(std::move(piece));
    }
    const std::string open = outer + (keys == 0 ? "{}" : "{");
    if (keys == 0) pieces.emplace_back();
    pieces.push_back(keys == 0 ? std::string() : outer + "}");
    pieces.push_back(open + pieces[0]);  // the first record's opening
    pieces[0] = "," + open + pieces[0];
    t.slots.clear();
    t.offsets.clear();
    t.sizes.clear();
    t.room = keys * kLongestNumber;
    for (const std::string &piece : pieces) {
      t.offsets.push_back(add_slot(t.slots, piece));
      t.sizes.push_back(piece.size());
      t.room += piece.size() + kChunk;
    }
    t.layouts.clear();
    t.layout_of.assign(keys <= kMaskedKeys ? std::size_t{1} << keys : 0, -1);
    t.keys = rows.keys.data();
    t.key_count = keys;
    t.depth = depth;
    return t;
  }

  // The pieces of a RecordText as plain pointers. The writer stores bytes
  // through char pointers, which may alias anything, so fields read through
  // the RecordText would be read again after every store.
  struct Pieces {
    const char *slots;
    const std::size_t *offsets;
    const std::size_t *sizes;

    // Copies piece i to `to`, which has room for it rounded up to whole
    // chunks; returns the end of the piece.
    char *put(char *to, std::size_t i) const { return copy(to, slots + offsets[i], sizes[i]); }

    static char *copy(char *to, const char *from, std::size_t size) {
      std::memcpy(to, from, kChunk);
      for (std::size_t done = kChunk; done < size; done += kChunk) std::memcpy(to + done, from + done, kChunk);
      return to + size;
    }
  };

  [[gnu::always_inline]] static char *put_cell(char *p, const std::uint64_t *row, std::size_t k) {
    return (row[0] >> k & 1U) != 0 ? put_negative(p, row[k + 1]) : put_unsigned(p, row[k + 1]);
  }

  // Records after the first, from the layouts of their zero cells, which
  // each row marks (see RecordRows). The number of keys is a constant of
  // each instance, and so is the step from row to row.
  template <std::size_t Keys> void masked_records(RecordText &t, const std::uint64_t *row, std::size_t count) {
    const std::size_t room = t.room;
    static_assert(Keys <= kZeroMarkedKeys);
    for (std::size_t i = 0; i < count; ++i, row += Keys + 1) {
      const Layout &l = layout(t, row[0] >> 32 & ((std::uint64_t{1} << Keys) - 1));  // the zero cells' marks
      const char *slots = t.slots.data();  // after layout(), which may add slots
      out_.reserve_more(room);
      char *const start = out_.cursor();
      char *p = Pieces::copy(start, slots + l.offsets[0], l.sizes[0]);
      for (std::uint32_t j = 0; j < l.count; ++j) {
        p = put_cell(p, row, l.cells[j]);
        p = Pieces::copy(p, slots + l.offsets[j + 1], l.sizes[j + 1]);
      }
      out_.advance(static_cast<std::size_t>(p - start));
    }
  }

  template <std::size_t... Keys>
  void masked_records(RecordText &t, const std::uint64_t *row, std::size_t count, std::index_sequence<Keys...>) {
    ((t.key_count == Keys ? masked_records<Keys>(t, row, count) : void()), ...);
  }

  // A record array, written from its rows byte for byte as array() and
  // object() would write its records. Each record is written through a local
  // cursor and committed once.
  void records(const RecordRows &rows, std::size_t depth) {
    if (rows.count == 0) return literal("[]", 2);
    const std::size_t keys = rows.keys.size();
    RecordText &t = record_text(rows, depth);
    const std::size_t room = t.room;
    const std::size_t last = t.sizes.size() - 2;   // the piece that closes a record
    const std::size_t first = t.sizes.size() - 1;  // the first record's opening
    const Pieces pieces{t.slots.data(), t.offsets.data(), t.sizes.data()};
    literal("[", 1);
    const std::uint64_t *row = rows.words;
    const std::size_t by_pieces = keys <= kMaskedKeys ? 1 : rows.count;
    for (std::size_t i = 0; i < by_pieces; ++i, row += keys + 1) {
      out_.reserve_more(room);
      char *const start = out_.cursor();
      char *p = pieces.put(start, i == 0 ? first : 0);
      for (std::size_t k = 0; k < keys; ++k) {
        if (k > 0) p = pieces.put(p, k);
        p = put_cell(p, row, k);
      }
      p = pieces.put(p, last);
      out_.advance(static_cast<std::size_t>(p - start));
    }
    if (by_pieces < rows.count) masked_records(t, row, rows.count - by_pieces, std::make_index_sequence<kMaskedKeys + 1>());
    newline(depth);
    literal("]", 1);
  }

  // Decimal digits. Glyph records hold numbers of up to eight digits
  // (clusters of long texts): written from a table of digit pairs, four
  // digits at a time, without division loops.
  static char *put_unsigned(char *p, std::uint64_t v) {
    if (v < 10000) return put_short(p, static_cast<std::uint32_t>(v));
    if (v >= 100000000) return std::to_chars(p, p + kLongestNumber, v).ptr;
    p = put_short(p, static_cast<std::uint32_t>(v / 10000));
    return put_pairs(p, static_cast<std::uint32_t>(v % 10000));
  }

  // 0 to 9999, without leading zeros.
  static char *put_short(char *p, std::uint32_t v) {
    if (v < 10) {
      *p = static_cast<char>('0' + v);
      return p + 1;
    }
    if (v < 100) {
      std::memcpy(p, kDigitPairs + 2 * v, 2);
      return p + 2;
    }
    if (v < 1000) {
      *p = static_cast<char>('0' + v / 100);
      std::memcpy(p + 1, kDigitPairs + 2 * (v % 100), 2);
      return p + 3;
    }
    return put_pairs(p, v);
  }

  // 0 to 9999 as exactly four digits.
  static char *put_pairs(char *p, std::uint32_t v) {
    std::memcpy(p, kDigitPairs + 2 * (v / 100), 2);
    std::memcpy(p + 2, kDigitPairs + 2 * (v % 100), 2);
    return p + 4;
  }

  // A cell marked negative: the word holds the two's complement of the value.
  static char *put_negative(char *p, std::uint64_t word) {
    *p = '-';
    return put_unsigned(p + 1, ~word + 1);
  }

  static constexpr char kDigitPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";

  static constexpr std::size_t kLongestNumber = 20;  // "-9223372036854775808", "18446744073709551615"

  Output &out_;
  bool compact_;
  RecordText record_text_;
};

}  // namespace

void JsonText::Release::operator()(char *p) const { Output::release(p, mapped); }

// At most the length of the value's text: its strings and, for each cell of
// a record array, the shortest text of a key and a value. A long text's
// buffer is then made its size, or close to it, at once, instead of growing
// from 128 bytes by copies.
std::size_t least_length(const Value &v) {
  switch (v.kind()) {
    case Value::Kind::String:
      return v.as_string().size();
    case Value::Kind::Array: {
      if (std::optional<RecordRows> rows = v.record_rows()) return rows->count * rows->keys.size() * 6;
      std::size_t total = 0;
      for (std::size_t i = 0, n = v.size(); i < n; ++i) total += least_length(v.at(i));
      return total;
    }
    case Value::Kind::Object: {
      std::size_t total = 0;
      for (std::size_t i = 0, n = v.size(); i < n; ++i) total += v.key_at(i).size() + least_length(v.value_at(i));
      return total;
    }
    default:
      return 1;
  }
}

JsonText render_json(const Value &value, bool compact) {
  Output out;
  out.reserve_more(least_length(value));
  Writer(out, compact).value(value, 0);
  return out.finish();
}

}  // namespace tesvo
