#include "velmora/device/local_device.hpp"

#include "velmora/device/host.hpp"
#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::device {

LocalDevice::LocalDevice(Bytes machine_id, std::shared_ptr<const sealcraft::PublicKey> public_key,
                         std::shared_ptr<const sealcraft::PrivateKey> private_key)
    : uuid_(std::move(machine_id)),
      hostname_(host_name()),
      public_key_(std::move(public_key)),
      private_key_(std::move(private_key)) {
  if (!public_key_ || !private_key_) throw utils::ValueError("LocalDevice needs both keys");
  info_ = Value{{"uuid", utils::b2s(uuid_)},
                {"address", host_address()},
                {"client_version", VELMORA_VERSION},
                {"hostname", hostname_},
                {"public_key", utils::b2s(public_key_->export_())}};
}

Value LocalDevice::info() const {
  std::lock_guard lock(info_mutex_);
  return info_;
}

Value LocalDevice::update_info(const Value& members) {
  if (!members.is_object())
    throw utils::argument_type_error("members", "dict", utils::type_name(members));
  std::lock_guard lock(info_mutex_);
  for (const auto& [key, value] : members.items()) info_[key] = value;
  return info_;
}

}  // namespace velmora::device
