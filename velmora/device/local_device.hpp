#pragma once
// This node's device: its id (the machine id), host name, key pair, online status and profile.
// The profile is one lasting mapping that every request shares; it is written in place under its
// own lock, so keys a request adds stay for later requests and answers. Every member may be
// called from any thread. Not copyable.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "velmora/device/device_status.hpp"
#include "velmora/sealcraft/keys.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::device {

using utils::Bytes;
using utils::Value;

class LocalDevice {
 public:
  // machine_id: the UTF-8 of the machine's UUID text, which becomes the device id. Both keys must
  // be given (ValueError otherwise).
  LocalDevice(Bytes machine_id, std::shared_ptr<const sealcraft::PublicKey> public_key,
              std::shared_ptr<const sealcraft::PrivateKey> private_key);

  LocalDevice(const LocalDevice&) = delete;
  LocalDevice& operator=(const LocalDevice&) = delete;

  const Bytes& uuid() const noexcept { return uuid_; }
  const std::string& hostname() const noexcept { return hostname_; }
  const std::shared_ptr<const sealcraft::PublicKey>& public_key() const noexcept {
    return public_key_;
  }
  const std::shared_ptr<const sealcraft::PrivateKey>& private_key() const noexcept {
    return private_key_;
  }

  // OFFLINE until set.
  DeviceStatus status() const noexcept { return status_.load(); }
  void set_status(DeviceStatus status) noexcept { status_.store(status); }

  // A copy of the profile. It starts with "uuid" (b2s of the id), "address" (the IPv4 address this
  // machine is reached at), "client_version" (this program's version), "hostname" and
  // "public_key" (b2s of the SubjectPublicKeyInfo DER), followed by what requests wrote into it.
  Value info() const;

  // Writes every member of members (a mapping; TypeError otherwise) into the profile, a key
  // already there keeping its place, and returns a copy of the whole profile: one locked step.
  Value update_info(const Value& members);

 private:
  const Bytes uuid_;
  const std::string hostname_;
  const std::shared_ptr<const sealcraft::PublicKey> public_key_;
  const std::shared_ptr<const sealcraft::PrivateKey> private_key_;
  std::atomic<DeviceStatus> status_{DeviceStatus::OFFLINE};
  mutable std::mutex info_mutex_;
  Value info_;  // guarded by info_mutex_
};

}  // namespace velmora::device
