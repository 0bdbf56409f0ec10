#include "lib/json_writer.h"

#include <charconv>
#include <cstring>
#include <new>

namespace tesvo {

namespace {

// Growable output buffer. It starts at 128 bytes and at least doubles; large
// buffers grow through realloc, which moves pages instead of copying them.
class Output {
 public:
  Output() : data_(static_cast<char *>(std::malloc(kInitial))), capacity_(kInitial) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;
  ~Output() { std::free(data_); }

  void reserve_more(std::size_t n) {
    if (capacity_ - size_ >= n) return;
    std::size_t capacity = capacity_ * 2;
    while (capacity - size_ < n) capacity *= 2;
    char *grown = static_cast<char *>(std::realloc(data_, capacity));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = grown;
    capacity_ = capacity;
  }
  // Callers reserve first; these only write.
  void put(char c) { data_[size_++] = c; }
  void put(const char *text, std::size_t n) {
    std::memcpy(data_ + size_, text, n);
    size_ += n;
  }
  char *cursor() { return data_ + size_; }
  void advance(std::size_t n) { size_ += n; }

  JsonText finish() {
    JsonText text(data_, size_);
    data_ = nullptr;
    return text;
  }

 private:
  static constexpr std::size_t kInitial = 128;
  char *data_;
  std::size_t size_ = 0;
  std::size_t capacity_;
};

constexpr char kHex[] = "0123456789abcdef";

class Writer {
 public:
  explicit Writer(Output &out) : out_(out) {}

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

  // Line break, then 2 * depth spaces.
  void newline(std::size_t depth) {
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
      auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      out_.put(text.data() + run, i - run);
      run = i + 1;
      escape(c);
    }
    out_.put(text.data() + run, text.size() - run);
    out_.put('"');
  }

  void escape(unsigned char c) {
    char short_form = 0;
    switch (c) {
      case '"': short_form = '"'; break;
      case '\\': short_form = '\\'; break;
      case 0x08: short_form = 'b'; break;
      case 0x09: short_form = 't'; break;
      case 0x0A: short_form = 'n'; break;
      case 0x0C: short_form = 'f'; break;
      case 0x0D: short_form = 'r'; break;
      default: break;
    }
    out_.put('\\');
    if (short_form != 0) {
      out_.put(short_form);
      return;
    }
    out_.put("u00", 3);
    out_.put(kHex[c >> 4]);
    out_.put(kHex[c & 0xF]);
  }

  void array(const Value &v, std::size_t depth) {
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
      literal(": ", 2);
      value(v.value_at(i), depth + 1);
    }
    newline(depth);
    literal("}", 1);
  }

  Output &out_;
};

}  // namespace

JsonText render_json(const Value &value) {
  Output out;
  Writer(out).value(value, 0);
  return out.finish();
}

}  // namespace tesvo
