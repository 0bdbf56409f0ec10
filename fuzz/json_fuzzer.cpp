// The JSON writer on random value trees: the text must be well-formed JSON
// whose objects list their keys in byte order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "byte_source.h"
#include "json/writer.h"
#include "text/utf.h"

namespace {

using tesvo::Value;

Value random_value(ByteSource &in, int depth) {
  int kind = in.in_range(0, depth > 8 ? 4 : 6);
  switch (kind) {
    case 0: return Value();
    case 1: return Value::boolean(in.boolean());
    case 2: return Value::uinteger(in.integral<std::uint64_t>());
    case 3: return Value::integer(in.integral<std::int64_t>());
    case 4: return Value::string(tesvo::utf8_lossy(in.string(64)));
    case 5: {
      Value array = Value::array();
      int n = in.in_range(0, 8);
      for (int i = 0; i < n; ++i) array.push(random_value(in, depth + 1));
      return array;
    }
    default: {
      Value object = Value::object();
      int n = in.in_range(0, 8);
      for (int i = 0; i < n; ++i)
        object.insert(tesvo::utf8_lossy(in.string(16)), random_value(in, depth + 1));
      return object;
    }
  }
}

// A small recursive checker of the JSON grammar, enough to catch a writer
// that drops a comma, a quote or an escape.
class Checker {
 public:
  explicit Checker(std::string_view text) : t_(text) {}
  bool document() { return value() && pos_ == t_.size(); }

 private:
  bool value() {
    skip_space();
    if (pos_ >= t_.size()) return false;
    char c = t_[pos_];
    if (c == '{') return container('}', true);
    if (c == '[') return container(']', false);
    if (c == '"') return string(nullptr);
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    for (std::string_view word : {"null", "true", "false"})
      if (t_.substr(pos_, word.size()) == word) return pos_ += word.size(), true;
    return false;
  }
  bool container(char close, bool keyed) {
    ++pos_;
    skip_space();
    if (pos_ < t_.size() && t_[pos_] == close) return ++pos_, true;
    std::string previous;
    bool first = true;
    for (;;) {
      if (keyed) {
        skip_space();
        std::string key;
        if (!string(&key)) return false;
        if (!first && !(previous < key)) return false;
        previous = key;
        skip_space();
        if (pos_ >= t_.size() || t_[pos_++] != ':') return false;
      }
      first = false;
      if (!value()) return false;
      skip_space();
      if (pos_ >= t_.size()) return false;
      char c = t_[pos_++];
      if (c == close) return true;
      if (c != ',') return false;
    }
  }
  bool string(std::string *out) {
    if (pos_ >= t_.size() || t_[pos_] != '"') return false;
    ++pos_;
    while (pos_ < t_.size()) {
      auto c = static_cast<unsigned char>(t_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        if (out) out->push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= t_.size()) return false;
      char e = t_[pos_++];
      if (e == 'u') {
        if (pos_ + 4 > t_.size()) return false;
        unsigned v = std::stoul(std::string(t_.substr(pos_, 4)), nullptr, 16);
        pos_ += 4;
        if (out) tesvo::append_utf8(*out, v);
      } else if (std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos) {
        static constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
        if (out) out->push_back(to[from.find(e)]);
      } else {
        return false;
      }
    }
    return false;
  }
  bool number() {
    std::size_t start = pos_;
    if (t_[pos_] == '-') ++pos_;
    while (pos_ < t_.size() && t_[pos_] >= '0' && t_[pos_] <= '9') ++pos_;
    return pos_ > start + (t_[start] == '-' ? 1 : 0);
  }
  void skip_space() {
    while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\n')) ++pos_;
  }
  std::string_view t_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  ByteSource in(data, size);
  Value tree = random_value(in, 0);
  tesvo::JsonText text = tesvo::render_json(tree);
  if (!Checker(text.view()).document()) std::abort();
  if (!text.view().empty() && text.view().back() == '\n') std::abort();
  return 0;
}
