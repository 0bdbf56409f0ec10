// The text form of a result value: pretty-printed JSON, two spaces per level,
// keys in byte order, no escapes above U+001F.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "lib/value.h"

namespace tesvo {

// A finished text: one malloc'ed buffer handed on without copying.
class JsonText {
 public:
  JsonText() = default;
  JsonText(char *data, std::size_t size) : data_(data), size_(size) {}
  const char *data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  struct Free {
    void operator()(char *p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
  std::size_t size_ = 0;
};

JsonText render_json(const Value &value);

}  // namespace tesvo
