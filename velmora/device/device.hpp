#pragma once
// A remote device as the device list gives it. It never changes once made, so every member may be
// called from many threads at once.

#include <memory>
#include <string>
#include <utility>

#include "velmora/device/device_status.hpp"
#include "velmora/sealcraft/keys.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::device {

using utils::Bytes;
using utils::Value;

class Device {
 public:
  Device(Bytes id, std::shared_ptr<const sealcraft::PublicKey> public_key, DeviceStatus status,
         std::string name, Value profile)
      : Device(std::move(id), std::move(public_key), status, std::move(name),
               std::make_shared<const Value>(std::move(profile))) {}
  // A device that shares a profile already read (profile must not be null).
  Device(Bytes id, std::shared_ptr<const sealcraft::PublicKey> public_key, DeviceStatus status,
         std::string name, std::shared_ptr<const Value> profile)
      : id_(std::move(id)),
        public_key_(std::move(public_key)),
        status_(status),
        name_(std::move(name)),
        info_(std::move(profile)) {}

  const Bytes& id() const noexcept { return id_; }
  const std::shared_ptr<const sealcraft::PublicKey>& public_key() const noexcept {
    return public_key_;
  }
  DeviceStatus status() const noexcept { return status_; }
  const std::string& name() const noexcept { return name_; }

  // The profile the device registered, as the list gives it. A caller that adds to it copies it.
  const Value& info() const noexcept { return *info_; }
  const std::shared_ptr<const Value>& shared_info() const noexcept { return info_; }

 private:
  Bytes id_;
  std::shared_ptr<const sealcraft::PublicKey> public_key_;
  DeviceStatus status_;
  std::string name_;
  std::shared_ptr<const Value> info_;  // never null
};

}  // namespace velmora::device
