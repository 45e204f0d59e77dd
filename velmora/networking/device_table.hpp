#pragma once
// Looking a device up in a device table (Network::devices). A pure function: safe from any thread.

#include "velmora/device/device.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/utils/bytes.hpp"

namespace velmora::networking {

// The device of id in table; it lives as long as the table. KeyError when the table does not hold
// id, its text the literal text of the bytes looked up (b'...').
const device::Device& device_of(const DeviceTable& table, const Bytes& id);

}  // namespace velmora::networking
