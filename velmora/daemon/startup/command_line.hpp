#pragma once
// The command line of velmorad: the serving address and the eleven node settings, or "--help".
// Its defaults of the groups and friends store files are "groups.bin" and "friends.bin".

#include <cstdint>
#include <string>
#include <variant>

#include "velmora/model/node_settings.hpp"

namespace velmora::daemon {

struct ServeOptions {
  std::string host = "127.0.0.1";
  std::int64_t port = 5000;
  model::NodeSettings settings;  // with the command line's own defaults
};

// The command ends before serving: status 0 with the help text for standard output, or status 2
// with a usage error for standard error.
struct CommandLineExit {
  int status;
  std::string text;
};

// Reads argv (argv[0] the program). Options may repeat, the last one counting. default_backend_url
// is the value of "--backend" when it is not given. A poll period the node would refuse (not
// positive, or above 1e9 seconds) is a usage error.
std::variant<ServeOptions, CommandLineExit> parse_command_line(
    int argc, const char* const* argv, const std::string& default_backend_url);

}  // namespace velmora::daemon
