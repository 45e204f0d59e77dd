#include "velmora/networking/device_table.hpp"

#include <cstdint>
#include <vector>

#include "velmora/utils/error.hpp"

namespace velmora::networking {

const device::Device& device_of(const DeviceTable& table, const Bytes& id) {
  const auto found = table.find(id);
  if (found == table.end())
    throw utils::KeyError(
        utils::Value::binary(std::vector<std::uint8_t>(id.bytes(), id.bytes() + id.size())));
  return found->second;
}

}  // namespace velmora::networking
