#pragma once
// The index of the local API: its 51 routes in registration order, each with its one method, the
// name of its handler and whether the endpoint guard wraps it. Immutable; read from any thread.

#include <array>
#include <string_view>

namespace velmora::daemon {

enum class Method { kGet, kPost };

struct Route {
  std::string_view path;     // matched exactly, after percent-decoding
  Method method;             // a GET route also answers HEAD; every route answers OPTIONS
  std::string_view handler;  // the endpoint's name: the path without "/", but for the job controls
  bool guarded;              // behind the endpoint guard
};

inline constexpr std::array<Route, 51> ROUTES{{
    {"/identify_token", Method::kPost, "identify_token", false},
    {"/backend", Method::kGet, "backend", false},
    {"/authenticate", Method::kPost, "authenticate", false},
    {"/upload_log", Method::kPost, "upload_log", true},
    {"/register", Method::kPost, "register", true},
    {"/refreshUserData", Method::kPost, "refreshUserData", true},
    {"/startThreads", Method::kPost, "startThreads", true},
    {"/killThreads", Method::kPost, "killThreads", true},
    {"/pauseThreads", Method::kPost, "pauseThreads", true},
    {"/unpauseThreads", Method::kPost, "unpauseThreads", true},
    {"/getDeviceList", Method::kGet, "getDeviceList", true},
    {"/getMyUUID", Method::kGet, "getMyUUID", true},
    {"/getMyName", Method::kGet, "getMyName", true},
    {"/getCurrentUser", Method::kGet, "getCurrentUser", true},
    {"/getMyGroups", Method::kGet, "getMyGroups", true},
    {"/clearMyJobHistory", Method::kGet, "clearMyJobHistory", true},
    {"/clearMyWorkHistory", Method::kGet, "clearMyWorkHistory", true},
    {"/getMyFriendList", Method::kGet, "getMyFriendList", true},
    {"/getMyOutboundRequestList", Method::kGet, "getMyOutboundRequestList", true},
    {"/getMyInboundRequestList", Method::kGet, "getMyInboundRequestList", true},
    {"/outboundGroupInvitations", Method::kGet, "outboundGroupInvitations", true},
    {"/inboundGroupInvitations", Method::kGet, "inboundGroupInvitations", true},
    {"/outboundGroupRequests", Method::kGet, "outboundGroupRequests", true},
    {"/inboundGroupRequests", Method::kGet, "inboundGroupRequests", true},
    {"/groupRemovals", Method::kGet, "groupRemovals", true},
    {"/declareFriend", Method::kPost, "declareFriend", true},
    {"/rejectFriend", Method::kPost, "rejectFriend", true},
    {"/removeFriend", Method::kPost, "removeFriend", true},
    {"/createGroup", Method::kPost, "createGroup", true},
    {"/destroyGroup", Method::kPost, "destroyGroup", true},
    {"/groupMemberInfo", Method::kPost, "groupMemberInfo", true},
    {"/groupOwnerInfo", Method::kPost, "groupOwnerInfo", true},
    {"/inviteUserToGroup", Method::kPost, "inviteUserToGroup", true},
    {"/respondToGroupInvitation", Method::kPost, "respondToGroupInvitation", true},
    {"/requestToJoinGroup", Method::kPost, "requestToJoinGroup", true},
    {"/respondToGroupRequest", Method::kPost, "respondToGroupRequest", true},
    {"/leaveGroup", Method::kPost, "leaveGroup", true},
    {"/removeGroupMember", Method::kPost, "removeGroupMember", true},
    {"/sendDockerizedApp", Method::kPost, "sendDockerizedApp", true},
    {"/stopLaunch", Method::kPost, "stop_launch", true},
    {"/startLaunch", Method::kPost, "start_launch", true},
    {"/pauseLaunch", Method::kPost, "pause_launch", true},
    {"/unpauseLaunch", Method::kPost, "unpause_launch", true},
    {"/stopLanding", Method::kPost, "stop_landing", true},
    {"/startLanding", Method::kPost, "start_landing", true},
    {"/pauseLanding", Method::kPost, "pause_landing", true},
    {"/unpauseLanding", Method::kPost, "unpause_landing", true},
    {"/sendFriendRequest", Method::kPost, "sendFriendRequest", true},
    {"/getMyWorkHistory", Method::kGet, "getMyWorkHistory", true},
    {"/getMyJobHistory", Method::kGet, "getMyJobHistory", true},
    {"/unregister", Method::kPost, "unregister", true},
}};

// The route at exactly that path, or null.
const Route* find_route(std::string_view path) noexcept;

// Whether the route answers that request method (HEAD on a GET route; not OPTIONS, which the
// dispatcher answers itself).
bool serves_method(const Route& route, std::string_view method) noexcept;

// The methods the route answers, for an "Allow" header: "GET, HEAD, OPTIONS" or "OPTIONS, POST".
std::string_view allowed_methods(const Route& route) noexcept;

}  // namespace velmora::daemon
