#include "velmora/boxwright/engine_probe.hpp"

#include <cstdlib>

#include "velmora/boxwright/engine/engine_address.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"

namespace velmora::boxwright {

bool is_awake() noexcept {
  try {
    engine::EngineClient::from_env().ping();
    return true;
  } catch (...) {
    return false;
  }
}

std::string engine_host() {
  const char* set = std::getenv("DOCKER_HOST");
  return set && *set ? std::string(set) : "unix://" + std::string(engine::kDefaultSocket);
}

utils::Value sys_info() {
  if (is_awake()) return engine::EngineClient::from_env().info();
  return {{"OSType", "None"}, {"MemTotal", "Unknown"}, {"NCPU", "0"}, {"Architecture", "Unknown"}};
}

}  // namespace velmora::boxwright
