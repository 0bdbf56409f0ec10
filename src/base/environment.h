// How the engine reads its environment variables.
//
// getenv is not safe while another thread changes the environment: the C
// library may move the array of variables and free the old one under a
// reader. A Python program changes the environment (os.environ) while it
// holds the interpreter lock, and the engine runs without that lock. So the
// Python boundary copies the variables the engine reads while it still holds
// the lock, and the engine reads that copy, on the request's thread, until
// the request ends: a change made meanwhile counts from the next request on.
// Without a copy (the engine called directly) the environment itself is read.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tesvo {

// The variables of the engine: the pauses, the backend library, the probes.
inline constexpr std::array<const char *, 11> kEngineVariables = {
    "TESVO_PRESLEEP_MS",  "TESVO_PRELOAD_TS",   "TESVO_POSTLOAD_MS", "TESVO_VANTOR",
    "TESVO_NATIVE_RUN",   "TESVO_GLYPH_PROBE",  "TESVO_RET_PROBE",   "TESVO_TS_RET",
    "TESVO_WORKER_PROBE", "TESVO_CALLEE_PROBE", "TESVO_TS_PROBE"};

// The engine's variables as they were when it was made, answering
// environment_value on the thread that made it for as long as it lives.
class EnvironmentCopy {
 public:
  EnvironmentCopy();
  ~EnvironmentCopy();
  EnvironmentCopy(const EnvironmentCopy &) = delete;
  EnvironmentCopy &operator=(const EnvironmentCopy &) = delete;

  // The copied value; null when the variable was unset. Only for the
  // variables of kEngineVariables.
  const char *value(std::size_t index) const { return values_[index] ? values_[index]->c_str() : nullptr; }

 private:
  std::array<std::optional<std::string>, kEngineVariables.size()> values_;
  EnvironmentCopy *previous_;
};

// The value of an environment variable, null when unset: from this thread's
// EnvironmentCopy when there is one and the name is one of the engine's,
// otherwise from the environment.
const char *environment_value(const char *name);

// The index of one of the engine's variables in kEngineVariables, found when
// compiling, so that reading it often costs no search by name.
consteval std::size_t engine_variable(std::string_view name) {
  for (std::size_t i = 0; i < kEngineVariables.size(); ++i)
    if (name == kEngineVariables[i]) return i;
  throw "not one of the engine's variables";
}

// environment_value for the engine variable with this index.
const char *environment_value(std::size_t variable);

}  // namespace tesvo
