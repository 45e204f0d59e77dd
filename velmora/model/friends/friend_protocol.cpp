#include "velmora/model/friends/friend_protocol.hpp"

#include <string>
#include <utility>

#include "velmora/model/friends/friend_subjects.hpp"
#include "velmora/model/store_steps.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

using utils::Bytes;

std::shared_ptr<networking::Network> checked(std::shared_ptr<networking::Network> network) {
  if (!network) throw utils::ValueError("The friend protocol needs a backend client");
  return network;
}

}  // namespace

FriendProtocol::FriendProtocol(std::shared_ptr<networking::Network> network, FriendStores stores)
    : network_(checked(std::move(network))), stores_(stores) {}

bool FriendProtocol::send_friend_request(const Bytes& dest_uuid) {
  std::lock_guard lock(mutex_);
  if (holds(stores_.accepted_requests, dest_uuid) || holds(stores_.pending_requests, dest_uuid))
    return false;
  send(dest_uuid, subject::kFriendRequest);
  remove(stores_.friend_removals, dest_uuid);
  remove(stores_.rejected_requests, dest_uuid);
  add(stores_.pending_requests, dest_uuid);
  return true;
}

bool FriendProtocol::declare_friend(const Bytes& uuid) {
  std::lock_guard lock(mutex_);
  if (holds(stores_.friends, uuid)) return false;
  add(stores_.friends, uuid);
  accept_friend_request(uuid);
  remove(stores_.inbound_requests, uuid);
  return true;
}

bool FriendProtocol::reject_friend(const Bytes& uuid) {
  std::lock_guard lock(mutex_);
  if (!holds(stores_.inbound_requests, uuid)) return false;
  send(uuid, subject::kFriendReject);
  remove(stores_.inbound_requests, uuid);
  return true;
}

bool FriendProtocol::remove_friend(const Bytes& uuid) {
  std::lock_guard lock(mutex_);
  if (!holds(stores_.friends, uuid)) return false;
  send(uuid, subject::kFriendRemove);
  remove(stores_.friends, uuid);
  return true;
}

bool FriendProtocol::accept_friend_request(const Bytes& dest_uuid) {
  send(dest_uuid, subject::kFriendAccept);
  return true;
}

void FriendProtocol::handle_friend_request(const Bytes& origin) {
  std::lock_guard lock(mutex_);
  if (holds(stores_.friends, origin))
    accept_friend_request(origin);
  else if (!holds(stores_.inbound_requests, origin))
    add(stores_.inbound_requests, origin);
}

void FriendProtocol::handle_friend_accept(const Bytes& origin) {
  std::lock_guard lock(mutex_);
  remove(stores_.pending_requests, origin);
  remove(stores_.friend_removals, origin);
  add(stores_.accepted_requests, origin);
}

void FriendProtocol::handle_friend_reject(const Bytes& origin) {
  std::lock_guard lock(mutex_);
  if (remove(stores_.pending_requests, origin)) add(stores_.rejected_requests, origin);
}

void FriendProtocol::handle_friend_remove(const Bytes& origin) {
  std::lock_guard lock(mutex_);
  if (remove(stores_.accepted_requests, origin)) add(stores_.friend_removals, origin);
}

void FriendProtocol::send(const Bytes& dest_uuid, std::string_view subject) {
  network_->send_pkg(utils::b2s(dest_uuid), std::string(subject));
}

}  // namespace velmora::model
