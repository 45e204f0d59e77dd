#include "velmora/networking/network_error.hpp"

#include <gtest/gtest.h>

#include <set>

#include "velmora/networking/network.hpp"

namespace velmora::networking {
namespace {

TEST(NetworkError, TextFormShowsCodeMsgAndTrace) {
  const std::string trace = "    URL: u\n    Payload: {}\n";
  struct Case {
    Value code;
    Value msg;
    std::string text;
  };
  const Case cases[] = {
      {5, "m", "Code 5: m\n" + trace},
      {"0", "text code", "Code 0: text code\n" + trace},
      {nullptr, Value::array({1, "a"}), "Code None: [1, 'a']\n" + trace},
      {2.5, true, "Code 2.5: True\n" + trace},
  };
  for (const Case& c : cases) {
    const BackendError error(c.code, c.msg, trace);
    EXPECT_EQ(std::string(error.what()), c.text);
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(error.msg(), c.msg);
    EXPECT_EQ(error.req_trace(), trace);
  }
}

TEST(NetworkError, BothKindsAreCaughtAsNetworkAndRuntimeErrors) {
  const auto caught_as_network_error = [](const auto& error) {
    try {
      throw error;
    } catch (const NetworkError& e) {
      return e.code() == 7;
    }
  };
  EXPECT_TRUE(caught_as_network_error(ValidityError(7, "m", "t\n")));
  EXPECT_TRUE(caught_as_network_error(BackendError(7, "m", "t\n")));
  EXPECT_THROW(throw ValidityError(1, "m", "t\n"), utils::RuntimeError);
  EXPECT_THROW(throw BackendError(1, "m", "t\n"), utils::RuntimeError);
}

TEST(Endpoints, TenRowsOfAbsolutePaths) {
  std::set<std::string_view> names;
  for (const auto& [name, path] : Network::ENDPOINTS) {
    names.insert(name);
    EXPECT_TRUE(path.starts_with('/')) << name;
  }
  EXPECT_EQ(names.size(), 10u);
  EXPECT_TRUE(names.contains("list_user"));
}

}  // namespace
}  // namespace velmora::networking
