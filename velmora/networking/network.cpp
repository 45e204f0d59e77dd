#include "velmora/networking/network.hpp"

#include "velmora/networking/device_list.hpp"
#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::networking {

Network::Network(std::optional<std::string> server_url, std::string refresh_token,
                 std::shared_ptr<device::LocalDevice> local_device, std::string identity_provider,
                 std::filesystem::path temp_folder, std::filesystem::path inbox_folder)
    : server_url_(std::move(server_url)),
      refresh_token_(std::move(refresh_token)),
      identity_provider_(std::move(identity_provider)),
      temp_folder_(std::move(temp_folder)),
      inbox_folder_(inbox_folder.empty() ? temp_folder_ : std::move(inbox_folder)),
      local_device_(std::move(local_device)),
      device_list_(std::make_shared<const DeviceList>()) {
  if (!local_device_) throw utils::ValueError("Network needs a local device");
  access_token_ = new_access_token();
  username_ = get_username();
}

Network::~Network() = default;

std::string Network::access_token() const {
  std::lock_guard lock(fields_mutex_);
  return access_token_;
}

std::shared_ptr<const DeviceTable> Network::devices() const {
  std::lock_guard lock(fields_mutex_);
  return {device_list_, &device_list_->table};  // shares the list's ownership
}

utils::HttpHeaders Network::auth_headers() const {
  return {{"Authorization", "Bearer " + access_token()}};
}

utils::Value Network::trace_headers() const {
  return {{"Authorization",
           "Bearer <sha256:" + utils::log::token_fingerprint(access_token()) + ">"}};
}

}  // namespace velmora::networking
