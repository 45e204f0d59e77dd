#pragma once
// The subjects of the packages that the friend protocol sends, as the receiving node dispatches
// them. Friend packages carry no attachment and no label beyond the base keys.

#include <string_view>

namespace velmora::model::subject {

inline constexpr std::string_view kFriendRequest = "friend_request";  // asks to be a friend
inline constexpr std::string_view kFriendAccept = "friend_accept";    // the sender is a friend
inline constexpr std::string_view kFriendReject = "friend_reject";    // the request is refused
inline constexpr std::string_view kFriendRemove = "friend_remove";    // no longer a friend

}  // namespace velmora::model::subject
