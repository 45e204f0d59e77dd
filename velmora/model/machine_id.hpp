#pragma once
// The machine id: this node's device id, kept in "mid.bin" as the UTF-8 of the 36-character text
// of a random version 4 UUID ("3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c"). Safe from any thread.

#include <filesystem>

#include "velmora/utils/bytes.hpp"

namespace velmora::model {

// A new machine id.
utils::Bytes new_machine_id();

// Throws ValueError naming file unless id is a UUID's text: 36 bytes, hexadecimal digits of
// either case in groups of 8, 4, 4, 4 and 12 joined by "-".
void check_machine_id(const utils::Bytes& id, const std::filesystem::path& file);

}  // namespace velmora::model
