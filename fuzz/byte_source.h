// Draws values from a fuzz input, front to back; zeros once it runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class ByteSource {
 public:
  ByteSource(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

  std::size_t remaining() const { return size_ - pos_; }

  template <class T> T integral() {
    T value{};
    std::size_t n = sizeof(T) < remaining() ? sizeof(T) : remaining();
    std::memcpy(&value, data_ + pos_, n);
    pos_ += n;
    return value;
  }

  // A value in [low, high].
  int in_range(int low, int high) {
    auto span = static_cast<std::uint32_t>(high - low) + 1U;
    return low + static_cast<int>(integral<std::uint8_t>() % span);
  }

  bool boolean() { return (integral<std::uint8_t>() & 1U) != 0; }

  // Up to max bytes; a backslash followed by another ends the string early,
  // so that one input can hold several strings of varied lengths.
  std::string string(std::size_t max) {
    std::string out;
    while (out.size() < max && pos_ < size_) {
      char c = static_cast<char>(data_[pos_++]);
      if (c == '\\') {
        if (pos_ >= size_ || data_[pos_++] != '\\') break;
      }
      out.push_back(c);
    }
    return out;
  }

  // Everything left.
  std::string rest() {
    std::string out(reinterpret_cast<const char *>(data_ + pos_), remaining());
    pos_ = size_;
    return out;
  }

 private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};
