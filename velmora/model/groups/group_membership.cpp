// The member's half of the group protocol: answering invitations, asking to join, leaving, and
// following what a group's owner sends.
#include "velmora/model/groups/group_entries.hpp"
#include "velmora/model/groups/group_protocol.hpp"
#include "velmora/model/groups/group_subjects.hpp"
#include "velmora/model/groups/sync_answer.hpp"
#include "velmora/model/store_steps.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {

bool GroupProtocol::respond_to_group_invitation(const std::string& group, bool accept) {
  std::lock_guard lock(mutex_);
  if (!is_pending(stores_.group_invitations, group)) return false;
  send(group_owner(group),
       accept ? subject::kGroupInvitationAccept : subject::kGroupInvitationReject, group);
  if (accept) {
    call("join", group, {own_id()});
    record_joined(group, call("sync", group));
  }
  remove(stores_.group_invitations, group);
  return true;
}

bool GroupProtocol::request_to_join_group(const std::string& group) {
  std::lock_guard lock(mutex_);
  if (holds(stores_.groups, group) || holds(stores_.group_requests, group) ||
      holds(stores_.group_invitations, group))
    return false;
  call("join", group, {own_id()});
  send(group_owner(group), subject::kGroupRequest, group);
  assign(stores_.group_requests, group, std::string(kPending));
  return true;
}

bool GroupProtocol::leave_group(const std::string& group) {
  std::lock_guard lock(mutex_);
  if (!holds(stores_.groups, group)) return false;
  call("leave", group);
  remove(stores_.groups, group);
  return true;
}

void GroupProtocol::handle_group_destruction(const utils::Bytes& origin, const std::string& group) {
  std::lock_guard lock(mutex_);
  if (kept_as_own(origin, group, "destruction")) return;
  // A group the service no longer knows is gone, whoever says so.
  if (const std::optional<utils::Value> answer = sync_if_known(group);
      answer && !from_owner(*answer, origin, group, "destruction"))
    return;
  remove(stores_.group_invitations, group);
  remove(stores_.group_requests, group);
  stores_.groups.with([&](Groups& groups) { groups.erase(group); });
  stores_.groups.dump();
}

void GroupProtocol::handle_group_invitation(const utils::Bytes& origin, const std::string& group) {
  std::lock_guard lock(mutex_);
  if (!from_owner(call("sync", group), origin, group, "invitation")) return;
  assign(stores_.group_invitations, group, std::string(kPending));
}

void GroupProtocol::handle_group_request_response(const utils::Bytes& origin,
                                                  const std::string& group, bool accepted) {
  std::lock_guard lock(mutex_);
  const utils::Value answer = call("sync", group);
  if (!from_owner(answer, origin, group, "request answer")) return;
  assign(stores_.group_requests, group, std::string(accepted ? kAccepted : kRejected));
  if (accepted) record_joined(group, answer);
}

void GroupProtocol::handle_group_removal(const utils::Bytes& origin, const std::string& group) {
  std::lock_guard lock(mutex_);
  if (kept_as_own(origin, group, "removal")) return;
  if (!from_owner(call("sync", group), origin, group, "removal")) return;
  if (!remove(stores_.groups, group)) throw utils::KeyError(utils::Value(group));
  add(stores_.group_removals, group);
}

void GroupProtocol::record_joined(const std::string& group, const utils::Value& answer) {
  remove(stores_.group_removals, group);
  assign(stores_.groups, group, GroupRecord{{"desc", description_of(answer)}});
}

}  // namespace velmora::model
