#pragma once
// Questions about the Docker engine of the process environment itself. Each call makes its own
// engine client; any thread may call them at any time.

#include <string>

#include "velmora/utils/value.hpp"

namespace velmora::boxwright {

// Whether the engine can be reached and answers its health check. Never throws.
bool is_awake() noexcept;

// Where the probe looks, for messages: DOCKER_HOST's value, or "unix:///var/run/docker.sock"
// when it is unset or empty.
std::string engine_host();

// The engine's system information as it answers it, or, when is_awake() is false, the mapping
// {"OSType": "None", "MemTotal": "Unknown", "NCPU": "0", "Architecture": "Unknown"} (all texts).
// Throws EngineError when the engine goes away between the probe and the request.
utils::Value sys_info();

}  // namespace velmora::boxwright
