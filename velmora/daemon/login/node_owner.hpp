#pragma once
// The account a node's user data belong to: the user name of the first login that succeeded on
// them, kept as {"user": <name>} in "owner.json" in the folder of the private key file (mode
// 0600, replaced atomically). The login refuses every other account. Safe from any thread; the
// login lock keeps two logins from recording at once.

#include <filesystem>
#include <optional>
#include <string>

#include "velmora/model/node_settings.hpp"

namespace velmora::daemon {

inline constexpr const char* kOwnerFileName = "owner.json";

// Where the owner of the user data of a node with these settings is recorded.
std::filesystem::path owner_file(const model::NodeSettings& settings);

// The recorded user name, or null when nothing is recorded. Throws ValueError naming the file
// when it cannot be read back, OSError when it cannot be read.
std::optional<std::string> read_owner(const std::filesystem::path& file);

// Records user as the owner. Throws OSError when the file cannot be written; what was recorded
// before then stays.
void record_owner(const std::filesystem::path& file, const std::string& user);

}  // namespace velmora::daemon
