#include "velmora/daemon/endpoints/friend_endpoints.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "velmora/daemon/endpoints/action_endpoint.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/networking/device_table.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/text/ascii_json.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {
namespace {

using model::Velmora;
using utils::string_to_result_json;

// The profiles of the devices of store, in the set's order, from one reading of the device
// table. A device the table does not hold fails the whole list with its KeyError.
std::string profile_list(Velmora& gobj, const model::Store<model::DeviceIds>& store) {
  const model::DeviceIds ids = store.snapshot();
  const std::shared_ptr<const networking::DeviceTable> table = gobj.network()->devices();
  utils::Value profiles = utils::Value::array();
  for (const utils::Bytes& id : ids) profiles.push_back(networking::device_of(*table, id).info());
  return string_to_result_json(true, 0, "success", "friend_list", std::move(profiles));
}

std::string getMyFriendList(Velmora& gobj, const ApiRequest&) {
  return profile_list(gobj, gobj.friends());
}

std::string getMyInboundRequestList(Velmora& gobj, const ApiRequest&) {
  return profile_list(gobj, gobj.inbound_requests());
}

// Each device this node asked, by its id's text, to the JSON text of its profile with the
// request's state under "invite_status". A device in several stores shows the state of the last
// of them in this order; its place is where it was first met.
std::string getMyOutboundRequestList(Velmora& gobj, const ApiRequest&) {
  const std::pair<model::DeviceIds, std::string_view> states[] = {
      {gobj.pending_requests().snapshot(), "pending"},
      {gobj.accepted_requests().snapshot(), "accepted"},
      {gobj.rejected_requests().snapshot(), "rejected"},
      {gobj.friend_removals().snapshot(), "removed"},
  };
  const std::shared_ptr<const networking::DeviceTable> table = gobj.network()->devices();
  utils::Value requests = utils::Value::object();
  for (const auto& [ids, state] : states) {
    for (const utils::Bytes& id : ids) {
      // A copy: the table's profile is shared by every reader of the table.
      utils::Value profile = networking::device_of(*table, id).info();
      profile["invite_status"] = state;
      requests[utils::b2s(id)] = utils::ascii_json_text(profile);
    }
  }
  return string_to_result_json(true, 0, "success", "outbound_requests", std::move(requests));
}

}  // namespace

EndpointTable friend_endpoints() {
  constexpr Conversion text = Conversion::text;
  return {
      {"getMyFriendList", getMyFriendList},
      {"getMyOutboundRequestList", getMyOutboundRequestList},
      {"getMyInboundRequestList", getMyInboundRequestList},
      action("declareFriend", {{"uuid", text}}, &Velmora::declare_friend, "friend added",
             "friend not added"),
      action("rejectFriend", {{"uuid", text}}, &Velmora::reject_friend, "friend rejected",
             "friend not rejected"),
      action("removeFriend", {{"uuid", text}}, &Velmora::remove_friend, "friend removed",
             "friend not removed"),
      action("sendFriendRequest", {{"uuid", text}}, &Velmora::send_friend_request, "Request sent",
             "Request failed to send"),
  };
}

}  // namespace velmora::daemon
