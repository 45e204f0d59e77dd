#include "velmora/daemon/endpoints/group_query_endpoints.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

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

// A member's entry: its group and status.
struct MemberSideEntry {
  std::string group;
  std::string status;
};

// The member's entries of store (keys of a group name alone), in store order.
std::vector<MemberSideEntry> member_side(const model::Store<model::GroupEntries>& store) {
  std::vector<MemberSideEntry> found;
  for (const auto& [key, status] : store.snapshot())
    if (const auto* group = std::get_if<std::string>(&key)) found.push_back({*group, status});
  return found;
}

// An owner's entry: its group, the profile of its device and its status.
struct OwnerSideEntry {
  std::string group;
  Value user;
  std::string status;
};

// The owner's entries of store, in store order, with the profiles from one reading of the device
// table: a device the table does not hold fails them all with its KeyError.
std::vector<OwnerSideEntry> owner_side(Velmora& gobj,
                                       const model::Store<model::GroupEntries>& store) {
  const model::GroupEntries entries = store.snapshot();
  const std::shared_ptr<const networking::DeviceTable> table = gobj.network()->devices();
  std::vector<OwnerSideEntry> found;
  for (const auto& [key, status] : entries)
    if (const auto* about = std::get_if<OwnerSideKey>(&key))
      found.push_back(
          {about->first, networking::device_of(*table, utils::s2b(about->second)).info(), status});
  return found;
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
  Value invites = Value::array();
  for (auto& [group, user, status] : owner_side(gobj, gobj.group_invitations()))
    invites.push_back(Value{{"group", group}, {"user", std::move(user)}, {"status", status}});
  return success("outbound_invites", std::move(invites));
}

// The groups that invited this node, by name alone.
std::string inboundGroupInvitations(Velmora& gobj, const ApiRequest&) {
  Value names = Value::array();
  for (const auto& [group, status] : member_side(gobj.group_invitations())) names.push_back(group);
  return success("inbound_invites", std::move(names));
}

// This node's own join requests, with the owner's answer so far.
std::string outboundGroupRequests(Velmora& gobj, const ApiRequest&) {
  Value requests = Value::array();
  for (const auto& [group, status] : member_side(gobj.group_requests()))
    requests.push_back(Value{{"group", group}, {"status", status}});
  return success("outbound_requests", std::move(requests));
}

// The join requests this node received as owner, with the requester's profile.
std::string inboundGroupRequests(Velmora& gobj, const ApiRequest&) {
  Value requests = Value::array();
  for (auto& [group, user, status] : owner_side(gobj, gobj.group_requests()))
    requests.push_back(Value{{"group", group}, {"user", std::move(user)}});
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
