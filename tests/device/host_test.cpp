#include "velmora/device/host.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace velmora::device {
namespace {

TEST(Host, DefaultRouteWithTheLowestMetricWins) {
  const char* table =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
      "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
      "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
      "down0\t00000000\t0100000A\t0002\t0\t0\t1\t00000000\t0\t0\t0\n";
  EXPECT_EQ(default_route_interface(table), "eth0");
  EXPECT_EQ(default_route_interface(
                "Iface\tDestination\tGateway\n"
                "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"),
            "");
  EXPECT_EQ(default_route_interface(""), "");
}

TEST(Host, NameAndAddressOfThisMachine) {
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(host_name(), name);
  in_addr parsed{};
  EXPECT_EQ(::inet_pton(AF_INET, host_address().c_str(), &parsed), 1) << host_address();
}

}  // namespace
}  // namespace velmora::device
