#include "velmora/device/device_status.hpp"

#include "velmora/utils/error.hpp"

namespace velmora::device {

std::string_view status_name(DeviceStatus status) noexcept {
  switch (status) {
    case DeviceStatus::ONLINE: return "ONLINE";
    case DeviceStatus::OFFLINE: return "OFFLINE";
  }
  return "OFFLINE";
}

std::string to_string(DeviceStatus status) {
  return "DeviceStatus." + std::string(status_name(status));
}

DeviceStatus device_status_from_name(std::string_view name) {
  for (DeviceStatus status : {DeviceStatus::ONLINE, DeviceStatus::OFFLINE})
    if (name == status_name(status)) return status;
  throw utils::ValueError("'" + std::string(name) + "' is not a valid DeviceStatus");
}

}  // namespace velmora::device
