#include "velmora/daemon/endpoints/group_query_endpoints.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "velmora/daemon/validate_data.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/networking/device_table.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {
namespace {

using model::Velmora;
using utils::string_to_result_json;
using utils::Value;

// The owner's entry about another device: (group name, device id text).
using OwnerSideKey = std::pair<std::string, std::string>;

std::string success(std::string_view field, Value value) {
  return string_to_result_json(true, 0, "success", field, std::move(value));
}

// The profile of the device whose id text is id, or the table's KeyError.
const Value& profile(const networking::DeviceTable& table, const std::string& id) {
  return networking::device_of(table, utils::s2b(id)).info();
}

// Each group as "name", then the members of its record ("desc").
std::string getMyGroups(Velmora& gobj, const ApiRequest&) {
  Value records = Value::array();
  for (const auto& [name, record] : gobj.groups().snapshot()) {
    Value entry = {{"name", name}};
    for (const auto& [key, value] : record) entry[key] = value;
    records.push_back(std::move(entry));
  }
  return success("profile", std::move(records));
}

// The invitations this node sent as owner, with the invitee's profile and the answer so far.
std::string outboundGroupInvitations(Velmora& gobj, const ApiRequest&) {
  const model::GroupEntries entries = gobj.group_invitations().snapshot();
  const std::shared_ptr<const networking::DeviceTable> table = gobj.network()->devices();
  Value invites = Value::array();
  for (const auto& [key, status] : entries)
    if (const auto* owner_side = std::get_if<OwnerSideKey>(&key))
      invites.push_back(Value{{"group", owner_side->first},
                              {"user", profile(*table, owner_side->second)},
                              {"status", status}});
  return success("outbound_invites", std::move(invites));
}

// The groups that invited this node, by name alone.
std::string inboundGroupInvitations(Velmora& gobj, const ApiRequest&) {
  Value names = Value::array();
  for (const auto& [key, status] : gobj.group_invitations().snapshot())
    if (const auto* group = std::get_if<std::string>(&key)) names.push_back(*group);
  return success("inbound_invites", std::move(names));
}

// This node's own join requests, with the owner's answer so far.
std::string outboundGroupRequests(Velmora& gobj, const ApiRequest&) {
  Value requests = Value::array();
  for (const auto& [key, status] : gobj.group_requests().snapshot())
    if (const auto* group = std::get_if<std::string>(&key))
      requests.push_back(Value{{"group", *group}, {"status", status}});
  return success("outbound_requests", std::move(requests));
}

// The join requests this node received as owner, with the requester's profile.
std::string inboundGroupRequests(Velmora& gobj, const ApiRequest&) {
  const model::GroupEntries entries = gobj.group_requests().snapshot();
  const std::shared_ptr<const networking::DeviceTable> table = gobj.network()->devices();
  Value requests = Value::array();
  for (const auto& [key, status] : entries)
    if (const auto* owner_side = std::get_if<OwnerSideKey>(&key))
      requests.push_back(
          Value{{"group", owner_side->first}, {"user", profile(*table, owner_side->second)}});
  return success("inbound_requests", std::move(requests));
}

std::string groupRemovals(Velmora& gobj, const ApiRequest&) {
  Value names = Value::array();
  for (const std::string& group : gobj.group_removals().snapshot()) names.push_back(group);
  return success("removals", std::move(names));
}

std::string groupMemberInfo(Velmora& gobj, const ApiRequest& request) {
  return string_to_result_json(true, 0, "member list retrieved", "member_list",
                               gobj.group_member_info(body_text(request, "gName")));
}

// The owner's device id, under "username" as the front end reads it.
std::string groupOwnerInfo(Velmora& gobj, const ApiRequest& request) {
  const std::optional<std::string> owner = gobj.group_owner(body_text(request, "gName"));
  return string_to_result_json(true, 0, "Owner info retrieved", "info",
                               Value{{"username", owner ? Value(*owner) : Value()}});
}

}  // namespace

EndpointTable group_query_endpoints() {
  return {
      {"getMyGroups", getMyGroups},
      {"outboundGroupInvitations", outboundGroupInvitations},
      {"inboundGroupInvitations", inboundGroupInvitations},
      {"outboundGroupRequests", outboundGroupRequests},
      {"inboundGroupRequests", inboundGroupRequests},
      {"groupRemovals", groupRemovals},
      {"groupMemberInfo", groupMemberInfo},
      {"groupOwnerInfo", groupOwnerInfo},
  };
}

}  // namespace velmora::daemon
