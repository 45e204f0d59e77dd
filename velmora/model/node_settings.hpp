#pragma once
// The settings the node object is built with, named as its constructor names them, with the
// constructor's own defaults. The daemon's command line gives all eleven (its own defaults for the
// two store files differ: "groups.bin" and "friends.bin").

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::model {

// The backend's base URL when none is given; also the audience access tokens must name.
inline constexpr std::string_view kDefaultBackendUrl = "https://api.velmora.net";

struct NodeSettings {
  std::string log_level = "debug";         // a name of the level table: "all", "debug", ...
  std::optional<std::string> log_file;     // none or empty: standard error
  std::string priv_key_file = "priv.key";
  std::string pub_key_file = "pub.key";
  std::string groups_file = "VelmoraGroups.bin";
  std::string friends_file = "VelmoraFriends.bin";
  std::string results_folder = "results";
  // Poll periods in seconds.
  std::int64_t device_list_interval = 1;
  std::int64_t file_query_interval = 1;
  std::int64_t container_query_interval = 5;
  std::string backend_url = std::string(kDefaultBackendUrl);

  bool operator==(const NodeSettings&) const = default;
};

}  // namespace velmora::model
