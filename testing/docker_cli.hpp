#pragma once
// The docker CLI, for measurements beside the engine's own client.

#include <string>
#include <vector>

namespace velmora::testing {

// Runs `docker` (found on PATH) with args, its standard output thrown away, and waits for it;
// whether it ran and exited with status 0.
bool run_docker_cli(const std::vector<std::string>& args);

}  // namespace velmora::testing
