// The text form of a result value: pretty-printed JSON, two spaces per level,
// keys in byte order, no escapes above U+001F.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "json/value.h"

namespace tesvo {

// A finished text: the writer's buffer handed on without copying. A large
// buffer is a memory mapping of `mapped` bytes; a small one is malloc'ed
// (mapped is 0).
class JsonText {
 public:
  JsonText() = default;
  JsonText(char *data, std::size_t size, std::size_t mapped = 0) : data_(data, Release{mapped}), size_(size) {}
  const char *data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  struct Release {
    Release() noexcept : mapped(0) {}
    explicit Release(std::size_t bytes) noexcept : mapped(bytes) {}
    void operator()(char *p) const;
    std::size_t mapped;
  };
  std::unique_ptr<char, Release> data_;
  std::size_t size_ = 0;
};

// compact: without the layout, no line breaks, no indentation, no space after
// ':' (json.dumps with separators=(",", ":")).
JsonText render_json(const Value &value, bool compact = false);

}  // namespace tesvo
