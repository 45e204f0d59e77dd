// The group queries: each asks the group service afresh.
#include <algorithm>

#include "velmora/model/groups/group_protocol.hpp"
#include "velmora/model/groups/sync_answer.hpp"
#include "velmora/networking/device_table.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {

std::vector<std::string> GroupProtocol::group_member_UUIDs(const std::string& group) {
  return members_of(call("sync", group));
}

std::optional<std::string> GroupProtocol::group_owner(const std::string& group) {
  return owner_of(call("sync", group));
}

utils::Value GroupProtocol::group_member_info(const std::string& group) {
  std::vector<std::string> members = group_member_UUIDs(group);
  const auto own = std::find(members.begin(), members.end(), own_id());
  if (own == members.end()) throw utils::ValueError("list.remove(x): x not in list");
  members.erase(own);
  utils::Value profiles = utils::Value::array();
  for (const std::string& member : members) {
    // The table of this moment: the device-list poll replaces it whole meanwhile.
    const std::shared_ptr<const networking::DeviceTable> table = network_->devices();
    profiles.push_back(networking::device_of(*table, utils::s2b(member)).info());
  }
  return profiles;
}

}  // namespace velmora::model
