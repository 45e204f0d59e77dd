#pragma once
// A device's online status, as this node reports it and the device list gives it.

#include <string>
#include <string_view>

namespace velmora::device {

enum class DeviceStatus { ONLINE, OFFLINE };

// The bare name, "ONLINE" or "OFFLINE": what the status report sends and a device-list entry
// carries in its "status".
std::string_view status_name(DeviceStatus status) noexcept;

// The text form: "DeviceStatus." followed by the name.
std::string to_string(DeviceStatus status);

// The status of that bare name. Throws ValueError for any other text.
DeviceStatus device_status_from_name(std::string_view name);

}  // namespace velmora::device
