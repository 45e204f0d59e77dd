#pragma once
// The friend relation of the node: the five operations that start a step of the friend protocol
// and the handlers of the four friend packages, over the node's six friend sets. The relation is
// one-way: a device in `friends` may run jobs on this node; this node runs jobs on the devices in
// `accepted_requests`. Only packages keep two nodes' records in step.
//
// Every member may be called from any thread. The friends lock serialises the operations and
// handlers: each runs whole under it (its tests of the sets, its send, its writes), so no other
// friend step comes between a test of a set and the change that follows. The send inside it is
// bounded by the HTTP client's time-outs. Not copyable.

#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "velmora/model/stores.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/utils/bytes.hpp"

namespace velmora::model {

using FriendSet = Store<DeviceIds>;

// The node's six friend stores, each a set of device ids.
struct FriendStores {
  FriendSet& friends;            // may run jobs on this node
  FriendSet& inbound_requests;   // asked this node and wait for its answer
  FriendSet& pending_requests;   // this node asked them; no answer yet
  FriendSet& accepted_requests;  // declared this node a friend, so run its jobs
  FriendSet& rejected_requests;  // rejected this node's request
  FriendSet& friend_removals;    // declared this node a friend and removed it since
};

class FriendProtocol {
 public:
  // network must not be null (ValueError). The stores must outlive this object; they may be reset
  // in place.
  FriendProtocol(std::shared_ptr<networking::Network> network, FriendStores stores);

  FriendProtocol(const FriendProtocol&) = delete;
  FriendProtocol& operator=(const FriendProtocol&) = delete;

  // The operations. Each sends its package, when it sends one, before any set changes, except
  // declare_friend, which records and writes the friend first. Every change of a set is followed
  // by the write of that set. A refusal (false) sends and changes nothing. What Network::send_pkg
  // or a store's dump throws propagates, and the steps after it are not done.

  // Asks dest_uuid to be a friend ("friend_request"); it then leaves friend_removals and
  // rejected_requests and joins pending_requests. False when it is accepted or pending already.
  bool send_friend_request(const utils::Bytes& dest_uuid);
  // Adds uuid to friends, tells it ("friend_accept"), and drops its waiting request if any.
  // False when it is a friend already.
  bool declare_friend(const utils::Bytes& uuid);
  // Refuses the waiting request of uuid ("friend_reject") and drops it. False when none waits.
  bool reject_friend(const utils::Bytes& uuid);
  // Tells uuid ("friend_remove") and removes it from friends. False when it is not a friend.
  bool remove_friend(const utils::Bytes& uuid);
  // Tells dest_uuid that it is a friend ("friend_accept"); always true. Reads no set, so it takes
  // no lock.
  bool accept_friend_request(const utils::Bytes& dest_uuid);

  // The handlers of the friend packages, given the sender's device id.

  // A friend is answered "friend_accept" at once; another sender joins inbound_requests.
  void handle_friend_request(const utils::Bytes& origin);
  // The sender leaves pending_requests and friend_removals and joins accepted_requests, which is
  // written back in every case.
  void handle_friend_accept(const utils::Bytes& origin);
  // A pending sender moves to rejected_requests; otherwise nothing happens.
  void handle_friend_reject(const utils::Bytes& origin);
  // An accepted sender moves to friend_removals; otherwise nothing happens.
  void handle_friend_remove(const utils::Bytes& origin);

  // Calls fn under the friends lock, between friend steps: for resetting the sets in place. fn
  // must not call this object.
  template <class Fn>
  void while_locked(Fn&& fn) {
    std::lock_guard lock(mutex_);
    std::forward<Fn>(fn)();
  }

 private:
  void send(const utils::Bytes& dest_uuid, std::string_view subject);

  const std::shared_ptr<networking::Network> network_;
  const FriendStores stores_;
  std::mutex mutex_;  // the friends lock; taken before any store's own lock
};

}  // namespace velmora::model
