// The owner's half of the group protocol that lets members in: invitations and join requests.
#include <algorithm>

#include "velmora/model/groups/group_entries.hpp"
#include "velmora/model/groups/group_protocol.hpp"
#include "velmora/model/groups/group_subjects.hpp"
#include "velmora/model/groups/sync_answer.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/store_steps.hpp"

namespace velmora::model {

bool GroupProtocol::invite_user_to_group(const std::string& group, const std::string& uuid) {
  std::lock_guard lock(mutex_);
  LOG.info("Inviting %s to %s", uuid, group);
  const OwnerKey key{group, uuid};
  if (holds(stores_.group_invitations, key)) {
    LOG.info("user already invited");
    return false;
  }
  const std::vector<std::string> members = group_member_UUIDs(group);
  if (std::find(members.begin(), members.end(), uuid) != members.end()) {
    LOG.info("user already in group");
    return false;
  }
  if (holds(stores_.group_requests, key)) {
    LOG.info("user already requested");
    return false;
  }
  call("add", group, {uuid});
  send(uuid, subject::kGroupInvitation, group);
  assign(stores_.group_invitations, key, std::string(kPending));
  return true;
}

bool GroupProtocol::respond_to_group_request(const std::string& group, const std::string& uuid,
                                             bool accept) {
  std::lock_guard lock(mutex_);
  const OwnerKey key{group, uuid};
  if (!is_pending(stores_.group_requests, key)) return false;
  // The device is added before it is told, so that it is never told of an admission that the
  // group service refused.
  if (accept) call("add", group, {uuid});
  send(uuid, accept ? subject::kGroupRequestAccept : subject::kGroupRequestReject, group);
  remove(stores_.group_requests, key);
  return true;
}

void GroupProtocol::handle_group_request(const utils::Bytes& origin, const std::string& group) {
  std::lock_guard lock(mutex_);
  const std::string sender = utils::b2s(origin);
  if (!holds(stores_.groups, group)) {
    refuse("join request", group, sender, "no such group here");
    return;
  }
  if (!owns_group(group)) {
    // A group created before created groups were marked: the service tells whose it is.
    const std::optional<utils::Value> answer = sync_if_known(group);
    if (!answer || owner_of(*answer) != own_id()) {
      refuse("join request", group, sender, "the group is not this node's own");
      return;
    }
    add(stores_.owned_groups, group);
  }
  assign(stores_.group_requests, OwnerKey{group, sender}, std::string(kPending));
}

void GroupProtocol::handle_group_invitation_response(const utils::Bytes& origin,
                                                     const std::string& group, bool accepted) {
  std::lock_guard lock(mutex_);
  const OwnerKey key{group, utils::b2s(origin)};
  if (!is_pending(stores_.group_invitations, key)) {
    refuse("invitation answer", group, key.second, "no invitation of it was sent");
    return;
  }
  assign(stores_.group_invitations, key, std::string(accepted ? kAccepted : kRejected));
}

}  // namespace velmora::model
