// The owner's half of the group protocol that makes and unmakes groups and memberships.
#include <algorithm>

#include "velmora/model/groups/group_entries.hpp"
#include "velmora/model/groups/group_protocol.hpp"
#include "velmora/model/groups/group_subjects.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/store_steps.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {

bool GroupProtocol::create_group(const std::string& group, const std::string& description) {
  std::lock_guard lock(mutex_);
  call("create", group, {}, description);
  assign(stores_.groups, group, GroupRecord{{"desc", description}});
  add(stores_.owned_groups, group);
  LOG.info("Group list appended");
  return true;
}

bool GroupProtocol::destroy_group(const std::string& group) {
  std::lock_guard lock(mutex_);
  // Each entry is dropped and written back before its device is told.
  for (Store<GroupEntries>* entries : {&stores_.group_invitations, &stores_.group_requests}) {
    for (const OwnerKey& key : owner_keys_of(*entries, group)) {
      remove(*entries, key);
      send(key.second, subject::kGroupDestruction, group);
    }
  }
  call("destroy", group);
  const bool held = remove(stores_.groups, group);
  remove(stores_.owned_groups, group);
  if (!held) throw utils::KeyError(utils::Value(group));
  return true;
}

bool GroupProtocol::remove_group_member(const std::string& group, const std::string& uuid) {
  std::lock_guard lock(mutex_);
  const std::vector<std::string> members = group_member_UUIDs(group);
  if (std::find(members.begin(), members.end(), uuid) == members.end()) return false;
  call("remove", group, {uuid});
  send(uuid, subject::kGroupRemoval, group);
  const OwnerKey key{group, uuid};
  remove(stores_.group_invitations, key);
  remove(stores_.group_requests, key);
  return true;
}

}  // namespace velmora::model
