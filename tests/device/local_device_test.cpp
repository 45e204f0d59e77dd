#include "velmora/device/local_device.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "velmora/device/host.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::device {
namespace {

const auto& key_pair() {
  static const auto pair = sealcraft::make_keys();
  return pair;
}

const Bytes kMachineId(std::string_view("3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c"));

LocalDevice make_device() { return {kMachineId, key_pair().second, key_pair().first}; }

TEST(LocalDevice, ProfileNamesThisNodeAndItsKey) {
  const LocalDevice device = make_device();
  EXPECT_EQ(device.uuid(), kMachineId);
  EXPECT_EQ(device.hostname(), host_name());
  EXPECT_EQ(device.private_key(), key_pair().first);
  EXPECT_EQ(device.status(), DeviceStatus::OFFLINE);

  const Value info = device.info();
  std::vector<std::string> keys;
  for (const auto& [key, value] : info.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"uuid", "address", "client_version", "hostname",
                                            "public_key"}));
  EXPECT_EQ(info["uuid"], "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c");
  EXPECT_EQ(info["address"], host_address());
  EXPECT_EQ(info["client_version"], VELMORA_VERSION);
  EXPECT_EQ(info["hostname"], device.hostname());
  EXPECT_EQ(utils::s2b(info["public_key"].get<std::string>()), key_pair().second->export_());
}

TEST(LocalDevice, WrittenMembersLastAndKeepTheirPlace) {
  LocalDevice device = make_device();
  const Value first = device.update_info({{"username", "ada"}, {"uuid", "changed"}});
  EXPECT_EQ(first["username"], "ada");
  EXPECT_EQ(first.begin().key(), "uuid");
  EXPECT_EQ(first["uuid"], "changed");
  EXPECT_EQ(device.info(), first);
  device.update_info({{"filename", "x.zip"}});
  EXPECT_EQ(device.info()["username"], "ada");  // one lasting mapping

  EXPECT_THROW(device.update_info(Value::array()), utils::TypeError);
  EXPECT_THROW(LocalDevice(kMachineId, nullptr, key_pair().first), utils::ValueError);
}

TEST(LocalDevice, ConcurrentWritersNeverTearASnapshot) {
  LocalDevice device = make_device();
  constexpr int kWriters = 4;
  std::atomic<bool> torn{false};
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    while (writing) {
      const Value info = device.info();
      if (info.contains("a") && info["a"] != info["b"]) torn = true;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 500; ++i) {
        const int mark = w * 1000 + i;
        const Value snapshot = device.update_info({{"a", mark}, {"b", mark}});
        if (snapshot["a"] != mark || snapshot["b"] != mark) torn = true;
        device.set_status(i % 2 ? DeviceStatus::ONLINE : DeviceStatus::OFFLINE);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  reader.join();
  EXPECT_FALSE(torn);
}

}  // namespace
}  // namespace velmora::device
