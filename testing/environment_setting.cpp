#include "testing/environment_setting.hpp"

#include <cstdlib>

namespace velmora::testing {

EnvironmentSetting::EnvironmentSetting(std::string name, const std::string& value)
    : name_(std::move(name)) {
  if (const char* previous = std::getenv(name_.c_str())) previous_ = previous;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

EnvironmentSetting::~EnvironmentSetting() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace velmora::testing
