// What every step of the group protocol shares: the group-service calls, the sends and the test
// of a member-side package's sender.
#include "velmora/model/groups/group_protocol.hpp"

#include "velmora/model/groups/group_entries.hpp"
#include "velmora/model/groups/sync_answer.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/store_steps.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

std::shared_ptr<networking::Network> checked(std::shared_ptr<networking::Network> network) {
  if (!network) throw utils::ValueError("The group protocol needs a backend client");
  return network;
}

}  // namespace

GroupProtocol::GroupProtocol(std::shared_ptr<networking::Network> network, GroupStores stores)
    : network_(checked(std::move(network))), stores_(stores) {}

utils::Value GroupProtocol::call(std::string_view word, const std::string& group,
                                 const std::vector<std::string>& uuid_list,
                                 const std::string& group_desc) {
  return network_->group_function(std::string(word), group, uuid_list, group_desc);
}

std::optional<utils::Value> GroupProtocol::sync_if_known(const std::string& group) {
  try {
    return call("sync", group);
  } catch (const networking::ValidityError&) {
    return std::nullopt;
  }
}

bool GroupProtocol::from_owner(const utils::Value& answer, const utils::Bytes& origin,
                               const std::string& group, std::string_view what) const {
  const std::optional<std::string> owner = owner_of(answer);
  const std::string sender = utils::b2s(origin);
  const char* why = nullptr;
  if (owner == own_id())
    why = "the group is this node's own";
  else if (owner != sender)
    why = "not the group's owner";
  if (!why) return true;
  refuse(what, group, sender, why);
  return false;
}

bool GroupProtocol::kept_as_own(const utils::Bytes& origin, const std::string& group,
                                std::string_view what) const {
  if (!owns_group(group)) return false;
  refuse(what, group, utils::b2s(origin), "the group is this node's own");
  return true;
}

bool GroupProtocol::owns_group(const std::string& group) const {
  return holds(stores_.owned_groups, group) ||
         !owner_keys_of(stores_.group_invitations, group).empty() ||
         !owner_keys_of(stores_.group_requests, group).empty();
}

void GroupProtocol::refuse(std::string_view what, const std::string& group,
                           const std::string& sender, std::string_view why) {
  LOG.warning("Refused %s of group %s from %s: %s", what, group, sender, why);
}

void GroupProtocol::send(const std::optional<std::string>& dest_uuid, std::string_view subject,
                         const std::string& group) {
  network_->send_pkg(dest_uuid, std::string(subject), {}, {{"group", group}});
}

std::string GroupProtocol::own_id() const { return utils::b2s(network_->local_device()->uuid()); }

}  // namespace velmora::model
