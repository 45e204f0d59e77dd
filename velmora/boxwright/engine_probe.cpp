#include "velmora/boxwright/engine_probe.hpp"

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

utils::Value sys_info() {
  if (is_awake()) return engine::EngineClient::from_env().info();
  return {{"OSType", "None"}, {"MemTotal", "Unknown"}, {"NCPU", "0"}, {"Architecture", "Unknown"}};
}

}  // namespace velmora::boxwright
