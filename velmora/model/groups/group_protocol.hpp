#pragma once
// The group relation of the node: both halves of the group protocol over the node's five group
// stores and the backend's group service. The owner's half makes and unmakes the groups this node
// created and admits their members; the member's half answers invitations, asks to join, leaves,
// and follows what the owners of other groups send. Both keep their entries in the same stores,
// told apart by the form of the key (stores.hpp). The queries ask the group service afresh at
// every call.
//
// Every member may be called from any thread. The groups lock serialises the operations and
// handlers: each runs whole under it (its tests of the stores, its group-service calls and sends,
// its writes), so no other group step comes between a test of a store and the change that
// follows. The requests inside it are bounded by the HTTP client's time-outs. The queries read no
// store and take no lock. Not copyable.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmora/model/stores.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::model {

// The node's five group stores.
struct GroupStores {
  Store<Groups>& groups;                   // the groups this node owns or belongs to
  Store<GroupEntries>& group_invitations;  // sent by this node as owner, or received
  Store<GroupEntries>& group_requests;     // received by this node as owner, or made
  Store<GroupNames>& group_removals;       // groups whose owner removed this node
  Store<GroupNames>& owned_groups;         // groups this node created and has not destroyed
};

class GroupProtocol {
 public:
  // network must not be null (ValueError). The stores must outlive this object; they may be reset
  // in place.
  GroupProtocol(std::shared_ptr<networking::Network> network, GroupStores stores);

  GroupProtocol(const GroupProtocol&) = delete;
  GroupProtocol& operator=(const GroupProtocol&) = delete;

  // Queries, each one "sync" call of the group. KeyError for an answer without the member read;
  // what Network::group_function throws propagates.

  // The group's "members_list", in the service's order. TypeError unless it is a list of texts.
  std::vector<std::string> group_member_UUIDs(const std::string& group);
  // The group's "owner", text or none. TypeError "Expected unicode, got <type>" for another value.
  std::optional<std::string> group_owner(const std::string& group);
  // The profiles of the members but this node, in the order of the member list, each from the
  // device table as it is at its lookup: the first entry of this node's own id is left out.
  // ValueError "list.remove(x): x not in list" when the list lacks this node (before any lookup);
  // KeyError for a member the device table does not hold (networking::device_of).
  utils::Value group_member_info(const std::string& group);

  // The operations. Every change of a store is followed by the write of that store; a refusal
  // (false) sends and changes nothing, and calls the service for nothing but the "sync" that
  // decided it. What a group-service call, a send or a write throws propagates, and the steps
  // after it are not done. Packages go with the label "group" and no attachment.

  // The owner's half.

  // Creates the group at the service ("create"), then records it with its description, replacing
  // a record of that name, and as owned; logs "Group list appended". Always true.
  bool create_group(const std::string& group, const std::string& description);
  // Drops each owner-side invitation, then each owner-side request, of the group, telling its
  // device ("group_destruction") after each drop; then destroys it at the service ("destroy") and
  // drops its record and its mark as owned: KeyError when this node holds no record. Always true.
  bool destroy_group(const std::string& group);
  // Removes the member at the service ("remove"), tells it ("group_removal") and drops its
  // owner-side invitation and request. False when the service does not list it as a member.
  bool remove_group_member(const std::string& group, const std::string& uuid);
  // Adds the device at the service ("add"), invites it ("group_invitation") and records the
  // invitation "pending". False (logged at INFO) when it is invited already, whatever the answer
  // ("user already invited", before any call), a member ("user already in group") or waiting
  // with a request ("user already requested").
  bool invite_user_to_group(const std::string& group, const std::string& uuid);
  // Answers the device's pending request: on acceptance adds it at the service ("add") first, so
  // that a refusal there tells it nothing; then sends "group_request_accept" or
  // "group_request_reject" and drops the request. False when no request of it is pending.
  bool respond_to_group_request(const std::string& group, const std::string& uuid, bool accept);

  // The member's half.

  // Answers the pending invitation to the group's owner ("group_invitation_accept" or
  // "group_invitation_reject"); on acceptance joins at the service ("join") and records the group
  // (record_joined, from a fresh "sync"). Then drops the invitation. False when none is pending.
  bool respond_to_group_invitation(const std::string& group, bool accept);
  // Joins at the service ("join"), asks the group's owner ("group_request") and records the
  // request "pending". False when the group is held, or a request (of any answer) or an
  // invitation of it is recorded.
  bool request_to_join_group(const std::string& group);
  // Leaves the group at the service ("leave") and drops its record. False when it is not held.
  bool leave_group(const std::string& group);

  // The handlers of the group packages, given the sender's device id.

  // To an owner. A request for a group that this node does not own (owns_group; a group held
  // without a mark of it is owned when its "sync" names this node, and is then marked) is dropped
  // with a warning; otherwise it is recorded "pending" under the sender's id, replacing what was
  // there.
  void handle_group_request(const utils::Bytes& origin, const std::string& group);
  // Records the sender's answer to the invitation this node sent it, "accepted" or "rejected".
  // An answer to no invitation still "pending" is dropped with a warning.
  void handle_group_invitation_response(const utils::Bytes& origin, const std::string& group,
                                        bool accepted);

  // To a member. Each is taken only from the group's owner as the service's "sync" names it, and
  // never for a group that the "sync" names as this node's; any other is dropped with a warning
  // and changes nothing. A destruction is also taken when the service does not know the group (it
  // refuses the "sync" as invalid). A destruction or a removal of a group this node owns by its
  // own stores (owns_group) is dropped with a warning before any call: no package removes it.

  // Drops the invitation, the request and the record of the group.
  void handle_group_destruction(const utils::Bytes& origin, const std::string& group);
  // Records an invitation "pending", replacing what was there.
  void handle_group_invitation(const utils::Bytes& origin, const std::string& group);
  // Records the answer to this node's request, "accepted" or "rejected"; on acceptance records
  // the group (record_joined, from the "sync" that named the owner).
  void handle_group_request_response(const utils::Bytes& origin, const std::string& group,
                                     bool accepted);
  // Drops the group's record (KeyError when it is not held) and records the removal.
  void handle_group_removal(const utils::Bytes& origin, const std::string& group);

  // Calls fn under the groups lock, between group steps: for resetting the stores in place. fn
  // must not call this object.
  template <class Fn>
  void while_locked(Fn&& fn) {
    std::lock_guard lock(mutex_);
    std::forward<Fn>(fn)();
  }

 private:
  // A group-service call on group; the answer.
  utils::Value call(std::string_view word, const std::string& group,
                    const std::vector<std::string>& uuid_list = {},
                    const std::string& group_desc = "");
  // The group's "sync" answer; none when the service refuses it as invalid.
  std::optional<utils::Value> sync_if_known(const std::string& group);
  // Whether the package what about group, from origin, is one the group's owner sent about a
  // group of another device, by answer, the group's "sync"; a refusal is logged at WARNING.
  bool from_owner(const utils::Value& answer, const utils::Bytes& origin, const std::string& group,
                  std::string_view what) const;
  // Whether the package what from origin, which would remove the group, is refused because this
  // node owns the group (owns_group), whatever the service says; a refusal is logged at WARNING.
  bool kept_as_own(const utils::Bytes& origin, const std::string& group,
                   std::string_view what) const;
  // Whether this node owns the group by its own stores: it marked the group as created, or holds
  // owner-side invitations or requests of it.
  bool owns_group(const std::string& group) const;
  // Logs at WARNING that the package what about group from sender was dropped, and why.
  static void refuse(std::string_view what, const std::string& group, const std::string& sender,
                     std::string_view why);
  void send(const std::optional<std::string>& dest_uuid, std::string_view subject,
            const std::string& group);
  // Forgets the removal from the group, then records the group with the "description" of answer,
  // its "sync": KeyError when it has none, TypeError when it is no text (the group then not
  // recorded).
  void record_joined(const std::string& group, const utils::Value& answer);
  // This node's device id as text.
  std::string own_id() const;

  const std::shared_ptr<networking::Network> network_;
  const GroupStores stores_;
  std::mutex mutex_;  // the groups lock; taken after the friends lock, before any store's own lock
};

}  // namespace velmora::model
