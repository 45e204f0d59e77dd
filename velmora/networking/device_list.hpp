#pragma once
// Reading the backend's device list into a device table. Pure function: safe from any thread.

#include "velmora/networking/network.hpp"

namespace velmora::networking {

// The table of the entries of a device-list answer's "users_dict", in list order, a later entry
// replacing an earlier one of the same "userid". Each entry is read for "userid" (s2b text),
// "public_key" (s2b text of DER), "status" ("ONLINE" or "OFFLINE"), "name" (text) and "profile"
// (literal text). Throws for the first malformed entry: KeyError for a missing member, TypeError
// for a member or entry of the wrong type, ValueError for one that cannot be read.
DeviceTable read_device_table(const utils::Value& users);

}  // namespace velmora::networking
