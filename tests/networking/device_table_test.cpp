// Looking a device up in a device table.
#include "velmora/networking/device_table.hpp"

#include <gtest/gtest.h>

#include "backend_fixture.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::networking {
namespace {

TEST(DeviceLookup, ADeviceIsFoundByItsIdOrTheKeyErrorNamesTheBytes) {
  const Bytes id{std::string_view(kPeerId)};
  DeviceTable table;
  table.insert_or_assign(id, device::Device(id, peer_keys().second, device::DeviceStatus::ONLINE,
                                            "peer",
                                            std::make_shared<const std::string>(
                                                utils::literal_text(Value{{"uuid", kPeerId}}))));
  EXPECT_EQ(&device_of(table, id), &table.find(id)->second);
  EXPECT_EQ(device_of(table, id).info()["uuid"], kPeerId);

  const auto missing = [&](const Bytes& key) {
    try {
      device_of(table, key);
    } catch (const utils::KeyError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(missing(Bytes(std::string_view(kDeviceId))), "b'" + kDeviceId + "'");
  EXPECT_EQ(missing(utils::s2b("\u00e9'")), "b\"\\xe9'\"");
}

}  // namespace
}  // namespace velmora::networking
