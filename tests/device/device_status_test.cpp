#include "velmora/device/device_status.hpp"

#include <gtest/gtest.h>

#include "velmora/device/device.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::device {
namespace {

TEST(DeviceStatus, TextFormsAndTheNameADeviceListCarries) {
  const struct {
    DeviceStatus status;
    const char* name;
    const char* text;
  } cases[] = {{DeviceStatus::ONLINE, "ONLINE", "DeviceStatus.ONLINE"},
               {DeviceStatus::OFFLINE, "OFFLINE", "DeviceStatus.OFFLINE"}};
  for (const auto& c : cases) {
    EXPECT_EQ(status_name(c.status), c.name);
    EXPECT_EQ(to_string(c.status), c.text);
    EXPECT_EQ(device_status_from_name(c.name), c.status);
  }
}

TEST(DeviceStatus, OtherNamesAreRefused) {
  for (const char* name : {"online", "DeviceStatus.ONLINE", "AWAY", ""}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(device_status_from_name(name), utils::ValueError);
  }
  try {
    device_status_from_name("AWAY");
  } catch (const utils::ValueError& e) {
    EXPECT_STREQ(e.what(), "'AWAY' is not a valid DeviceStatus");
  }
}

TEST(Device, InfoIsTheProfileAsTheListGaveIt) {
  const Value profile = {{"uuid", "0a1b"}, {"hostname", "node-b"}, {"address", "192.0.2.9"}};
  const Device device(Bytes(std::string_view("0a1b")), nullptr, DeviceStatus::ONLINE, "node-b",
                      std::make_shared<const std::string>(utils::literal_text(profile)));
  EXPECT_EQ(device.info(), profile);
  EXPECT_EQ(device.info().begin().key(), "uuid");
  EXPECT_EQ(device.status(), DeviceStatus::ONLINE);
  EXPECT_EQ(device.name(), "node-b");
  EXPECT_EQ(device.id(), Bytes(std::string_view("0a1b")));
}

}  // namespace
}  // namespace velmora::device
