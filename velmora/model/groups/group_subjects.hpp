#pragma once
// The subjects of the packages of the group protocol, as the receiving node dispatches them. Each
// carries the label "group", the group's name, and no attachment.

#include <string_view>

namespace velmora::model::subject {

// From a group's owner to a member or would-be member.
inline constexpr std::string_view kGroupDestruction = "group_destruction";  // the group is gone
inline constexpr std::string_view kGroupInvitation = "group_invitation";    // asks to join
inline constexpr std::string_view kGroupRequestAccept = "group_request_accept";
inline constexpr std::string_view kGroupRequestReject = "group_request_reject";
inline constexpr std::string_view kGroupRemoval = "group_removal";  // no longer a member

// From a member or would-be member to the group's owner.
inline constexpr std::string_view kGroupInvitationAccept = "group_invitation_accept";
inline constexpr std::string_view kGroupInvitationReject = "group_invitation_reject";
inline constexpr std::string_view kGroupRequest = "group_request";  // asks to be let in

}  // namespace velmora::model::subject
