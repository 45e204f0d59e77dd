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
  // profile_text is the literal text of the profile the device registered, which must read back
  // (the device list checks it); a device shares a text already held (it must not be null).
  Device(Bytes id, std::shared_ptr<const sealcraft::PublicKey> public_key, DeviceStatus status,
         std::string name, std::shared_ptr<const std::string> profile_text)
      : id_(std::move(id)),
        public_key_(std::move(public_key)),
        status_(status),
        name_(std::move(name)),
        profile_text_(std::move(profile_text)) {}

  const Bytes& id() const noexcept { return id_; }
  const std::shared_ptr<const sealcraft::PublicKey>& public_key() const noexcept {
    return public_key_;
  }
  DeviceStatus status() const noexcept { return status_; }
  const std::string& name() const noexcept { return name_; }

  // The profile the device registered, as the list gives it, read from its text at each call:
  // the text takes half the memory of the value, and a table holds thousands. A caller that
  // reads it often keeps what it got. ValueError when the text does not read back.
  Value info() const;
  const std::shared_ptr<const std::string>& profile_text() const noexcept {
    return profile_text_;
  }

 private:
  Bytes id_;
  std::shared_ptr<const sealcraft::PublicKey> public_key_;
  DeviceStatus status_;
  std::string name_;
  std::shared_ptr<const std::string> profile_text_;  // never null
};

}  // namespace velmora::device
