// The port lock and the record of which owner's font each backend library
// holds and at which location, one of each per process.
#include "abi/port.h"

#include <pthread.h>

#include <atomic>
#include <map>

namespace tesvo::port {

namespace {

std::map<const void *, std::uint64_t> &residents() {
  static std::map<const void *, std::uint64_t> fonts;
  return fonts;
}

std::map<const void *, std::vector<std::int32_t>> &locations() {
  static std::map<const void *, std::vector<std::int32_t>> pairs;
  return pairs;
}

}  // namespace

std::mutex &lock() {
  static std::mutex port;
  static const int fork_waits = ::pthread_atfork([] { port.lock(); }, [] { port.unlock(); },
                                                 [] { port.unlock(); });
  (void)fork_waits;
  return port;
}

const std::vector<std::int32_t> &resident_location(const void *library) {
  static const std::vector<std::int32_t> default_instance;
  auto it = locations().find(library);
  return it == locations().end() ? default_instance : it->second;
}

void set_resident_location(const void *library, std::vector<std::int32_t> pairs) {
  if (pairs.empty())
    locations().erase(library);
  else
    locations()[library] = std::move(pairs);
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
