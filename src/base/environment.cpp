// The per-thread copy of the engine's environment variables and the lookups
// that prefer it to the environment itself.
#include "base/environment.h"

#include <cstdlib>
#include <cstring>

namespace tesvo {

namespace {
thread_local EnvironmentCopy *t_copy = nullptr;
}

EnvironmentCopy::EnvironmentCopy() : previous_(t_copy) {
  for (std::size_t i = 0; i < kEngineVariables.size(); ++i) {
    if (const char *value = std::getenv(kEngineVariables[i])) values_[i].emplace(value);
  }
  t_copy = this;
}

EnvironmentCopy::~EnvironmentCopy() { t_copy = previous_; }

const char *environment_value(const char *name) {
  if (t_copy != nullptr) {
    for (std::size_t i = 0; i < kEngineVariables.size(); ++i) {
      if (std::strcmp(name, kEngineVariables[i]) == 0) return t_copy->value(i);
    }
  }
  return std::getenv(name);
}

const char *environment_value(std::size_t variable) {
  if (t_copy != nullptr) return t_copy->value(variable);
  return std::getenv(kEngineVariables[variable]);
}

}  // namespace tesvo
