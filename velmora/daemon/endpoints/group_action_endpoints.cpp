#include "velmora/daemon/endpoints/group_action_endpoints.hpp"

#include "velmora/daemon/endpoints/action_endpoint.hpp"
#include "velmora/model/velmora.hpp"

namespace velmora::daemon {

EndpointTable group_action_endpoints() {
  using model::Velmora;
  constexpr Conversion text = Conversion::text;
  constexpr Conversion truth = Conversion::truth;
  return {
      action("createGroup", {{"gName", text}, {"desc", text}}, &Velmora::create_group,
             "group created", "group name taken"),
      action("destroyGroup", {{"gName", text}}, &Velmora::destroy_group, "group destroyed",
             "group not destroyed"),
      action("inviteUserToGroup", {{"gName", text}, {"uuid", text}}, &Velmora::invite_user_to_group,
             "User invited", "User invitation failed"),
      action("respondToGroupInvitation", {{"gName", text}, {"accept", truth}},
             &Velmora::respond_to_group_invitation, "Invitation response succeeded",
             "Invitation response failed"),
      action("requestToJoinGroup", {{"gName", text}}, &Velmora::request_to_join_group,
             "Request sent", "Request failed"),
      action("respondToGroupRequest", {{"gName", text}, {"uuid", text}, {"accept", truth}},
             &Velmora::respond_to_group_request, "Group request response succeeded",
             "Group request response failed"),
      action("leaveGroup", {{"gName", text}}, &Velmora::leave_group, "Leaving group succeeded",
             "Leaving group failed"),
      action("removeGroupMember", {{"gName", text}, {"uuid", text}}, &Velmora::remove_group_member,
             "Group member removal succeeded", "Group member removal failed"),
  };
}

}  // namespace velmora::daemon
