// The port lock and the record of which owner's font each backend library
// holds, one of each per process.
#include "port/port.h"

#include <pthread.h>

#include <atomic>
#include <map>

namespace tesvo::port {

namespace {

std::map<const void *, std::uint64_t> &residents() {
  static std::map<const void *, std::uint64_t> fonts;
  return fonts;
}

}  // namespace

std::mutex &lock() {
  static std::mutex port;
  static const int fork_waits = ::pthread_atfork([] { port.lock(); }, [] { port.unlock(); },
                                                 [] { port.unlock(); });
  (void)fork_waits;
  return port;
}

std::uint64_t resident_font(const void *library) {
  auto it = residents().find(library);
  return it == residents().end() ? 0 : it->second;
}

void set_resident_font(const void *library, std::uint64_t owner) {
  if (owner == 0)
    residents().erase(library);
  else
    residents()[library] = owner;
}

std::uint64_t new_owner() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tesvo::port
