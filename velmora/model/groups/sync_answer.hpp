#pragma once
// Reading the group service's "sync" answer of a group (the group protocol's own sources). Each
// reader throws KeyError, the literal text of the member's name, when the answer lacks it.

#include <optional>
#include <string>
#include <vector>

#include "velmora/utils/value.hpp"

namespace velmora::model {

// "members_list": the members' device id texts. TypeError unless it is a list of texts.
std::vector<std::string> members_of(const utils::Value& answer);
// "owner": the owner's device id text, or none. TypeError "Expected unicode, got <type>" for a
// value that is neither.
std::optional<std::string> owner_of(const utils::Value& answer);
// "description": the group's description. TypeError when it is no text.
std::string description_of(const utils::Value& answer);

}  // namespace velmora::model
