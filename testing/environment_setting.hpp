#pragma once
// Sets an environment variable for the life of the object and restores what was there. Only
// while no other thread reads the environment.

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace velmora::testing {

class EnvironmentSetting {
 public:
  EnvironmentSetting(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  EnvironmentSetting(const EnvironmentSetting&) = delete;
  EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;
  ~EnvironmentSetting() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace velmora::testing
