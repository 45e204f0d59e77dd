#pragma once
// What the group protocol's sources share about the entries of the invitations and requests: the
// status words, the two forms of a key, and the tests that read them.

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "velmora/model/stores.hpp"

namespace velmora::model {

inline constexpr std::string_view kPending = "pending";
inline constexpr std::string_view kAccepted = "accepted";
inline constexpr std::string_view kRejected = "rejected";

// The owner's entry about another device: (group name, device id text).
using OwnerKey = std::pair<std::string, std::string>;

// Whether key's entry is "pending"; a missing entry is not.
inline bool is_pending(Store<GroupEntries>& store, const GroupEntryKey& key) {
  return store.with([&](const GroupEntries& entries) {
    const auto found = entries.find(key);
    return found != entries.end() && found->second == kPending;
  });
}

// The owner-side keys of group, in the store's order.
inline std::vector<OwnerKey> owner_keys_of(Store<GroupEntries>& store, const std::string& group) {
  return store.with([&](const GroupEntries& entries) {
    std::vector<OwnerKey> keys;
    for (const auto& [key, status] : entries) {
      const auto* owner_key = std::get_if<OwnerKey>(&key);
      if (owner_key && owner_key->first == group) keys.push_back(*owner_key);
    }
    return keys;
  });
}

}  // namespace velmora::model
