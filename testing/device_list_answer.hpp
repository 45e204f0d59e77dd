#pragma once
// A device-list answer as a backend gives it, for benchmarks: `devices` entries, each with a
// public key (from a small pool: importing one costs the same whoever it is) and the literal text
// of a registered profile. Made once per size and kept; safe from one thread at a time.

#include <string>

namespace velmora::testing {

// The whole answer body: {"valid": true, "code": 0, "msg": "OK", "users_dict": [...]}.
const std::string& device_list_answer(int devices);

}  // namespace velmora::testing
