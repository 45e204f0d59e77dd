#pragma once
// The eleven settings of the command line that configure the node object, kept from start-up for
// the login, which builds the node with them. Named as the node's constructor names them.

#include <cstdint>
#include <optional>
#include <string>

namespace velmora::daemon {

struct NodeSettings {
  std::string log_level = "debug";
  std::optional<std::string> log_file = std::nullopt;
  std::string priv_key_file = "priv.key";
  std::string pub_key_file = "pub.key";
  std::string groups_file = "groups.bin";
  std::string friends_file = "friends.bin";
  std::string results_folder = "results";
  std::int64_t device_list_interval = 1;
  std::int64_t file_query_interval = 1;
  std::int64_t container_query_interval = 5;
  std::string backend_url;

  bool operator==(const NodeSettings&) const = default;
};

}  // namespace velmora::daemon
