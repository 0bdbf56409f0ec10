// The text of a system error number, as messages quote it.
#include "base/system_error.h"

#include <cstring>

namespace tesvo {

std::string os_error_text(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in buffer.
  const char *text = ::strerror_r(error_number, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace tesvo
