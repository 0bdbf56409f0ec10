// System error texts and an owned file descriptor.
#pragma once

#include <unistd.h>

#include <string>

namespace tesvo {

// "No such file or directory (os error 2)": the system's description of the
// error number, then the number.
std::string os_error_text(int error_number);

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace tesvo
