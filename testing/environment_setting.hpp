#pragma once
// An environment variable set for the life of the object; what was there before comes back when
// it goes. Tests only: the environment is the process's, so no other thread may read it meanwhile.

#include <optional>
#include <string>

namespace velmora::testing {

class EnvironmentSetting {
 public:
  EnvironmentSetting(std::string name, const std::string& value);
  EnvironmentSetting(const EnvironmentSetting&) = delete;
  EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;
  ~EnvironmentSetting();

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace velmora::testing
