#pragma once
// What the node's stores hold. Each store is a utils::PickledObject over one file in the working
// directory (file names: user_data.cpp); the node keeps each store object for its whole life and
// resets it in place, so a reference to a store stays valid.

#include <set>
#include <string>
#include <utility>
#include <variant>

#include "velmora/job/lander.hpp"
#include "velmora/job/launcher.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/stores/ordered_dict.hpp"
#include "velmora/utils/stores/pickled_object.hpp"

namespace velmora::model {

template <class T>
using Store = utils::PickledObject<T>;

// Device ids, as bytes: the six friend sets.
using DeviceIds = std::set<utils::Bytes>;

// Group name to the group's record, whose one member "desc" is its description.
using GroupRecord = utils::OrderedDict<std::string, std::string>;
using Groups = utils::OrderedDict<std::string, GroupRecord>;

// A key of the group invitations and requests: a group name alone (a member's own entry) or the
// pair (group name, device id text) (the group owner's entry about another device).
using GroupEntryKey = std::variant<std::string, std::pair<std::string, std::string>>;
// Entry to its status: "pending", "accepted" or "rejected".
using GroupEntries = utils::OrderedDict<GroupEntryKey, std::string>;

using GroupNames = std::set<std::string>;

}  // namespace velmora::model
