// The state around a backend's process-wide font, shared by every native
// module of the process: both modules link this one small shared library, so
// there is exactly one lock, whichever module a request comes through.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#define TESVO_PORT_API __attribute__((visibility("default")))

namespace tesvo::port {

// Held while a request hands the backend its font and shapes with it. A fork
// while another thread is inside waits for the section to end, so that the
// child never starts with a lock no thread of it will release.
TESVO_PORT_API std::mutex &lock();

// The owner whose font a backend library still holds between requests
// (0: none, or not known), so that a font kept there need not be handed over
// again. Read and written with lock() held.
TESVO_PORT_API std::uint64_t resident_font(const void *library);
TESVO_PORT_API void set_resident_font(const void *library, std::uint64_t owner);

// The location (the backend's usp_set_variations pairs) a backend library
// shapes at; empty for the default instance, as a library starts. Read and
// written with lock() held.
TESVO_PORT_API const std::vector<std::int32_t> &resident_location(const void *library);
TESVO_PORT_API void set_resident_location(const void *library, std::vector<std::int32_t> pairs);

// A fresh owner number, never 0.
TESVO_PORT_API std::uint64_t new_owner();

}  // namespace tesvo::port
