// The registry and the online status: what the backend knows of this device.
#include "velmora/networking/network.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::networking {

bool Network::register_(device::LocalDevice& device) {
  if (is_registered_.load()) throw utils::RuntimeError("Redundant registration attempt");
  const Value request = device.update_info({{"username", username_},
                                            {"password", "quokka5"},
                                            {"ed_key", "To_Do"},
                                            {"curve_key", "To_Do"},
                                            {"one_time_keys", Value::array()}});
  _send_request("register", request);
  is_registered_.store(true);
  return true;
}

void Network::unregister() {
  if (!is_registered_.load()) throw utils::RuntimeError("Redundant Unregistration");
  _send_request("unregister", local_device_->info());
  is_registered_.store(false);
}

bool Network::set_status(device::DeviceStatus status) {
  local_device_->set_status(status);
  const Value request = local_device_->update_info(
      {{"status_type", std::string(device::status_name(local_device_->status()))}});
  _send_request("set_status", request);
  return true;
}

}  // namespace velmora::networking
