#pragma once
// Reading the backend's device list into a device table. read_device_list is a pure function:
// safe from any thread.

#include <simdjson.h>

#include <cstddef>
#include <map>
#include <string>

#include "velmora/networking/network.hpp"
#include "velmora/utils/text/json_reader.hpp"

namespace velmora::networking {

// A device list as read: the table, and for each device digests of the public key and profile
// texts it was read from. The next reading takes a device whose two texts are unchanged over
// instead of reading them again: a key import and a profile parse cost tens of microseconds a
// device, and the list is read every second. An answer identical to the last one, byte for byte,
// is not read at all: parsing 10,000 entries costs a tenth of a second of CPU.
struct DeviceList {
  struct Digests {
    std::size_t public_key = 0;
    std::size_t profile = 0;
    friend bool operator==(const Digests&, const Digests&) = default;
  };
  DeviceTable table;
  std::map<Bytes, Digests> digests;  // by device id
  // The whole answer the list was read from, when it came whole: a byte-identical answer next
  // time is not read again.
  std::size_t answer_size = 0;
  std::size_t answer_digest = 0;
};

// The memory the device-list poll reads into, kept from one poll to the next: the answer's body
// and the parser's buffers, which for 10,000 devices pass 18 MB and would otherwise be mapped
// afresh, and faulted in page by page, every second.
struct DeviceListMemory {
  std::string answer;
  utils::JsonReader reader;
};

// The list of the entries of a device-list answer's "users_dict", in list order, a later entry
// replacing an earlier one of the same "userid". Each entry is read for "userid" (s2b text),
// "public_key" (s2b text of DER), "status" ("ONLINE" or "OFFLINE"), "name" (text) and "profile"
// (literal text); of a member given twice, the last counts. previous is the list read last time,
// or null. Throws for the first malformed entry: KeyError for a missing member, TypeError for a
// member or entry of the wrong type, ValueError for one that cannot be read.
DeviceList read_device_list(simdjson::dom::element users, const DeviceList* previous = nullptr);

}  // namespace velmora::networking
