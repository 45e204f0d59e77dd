// Registration, unregistration and the status report, and the members they leave in the local
// device's profile.
#include <gtest/gtest.h>

#include "backend_fixture.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::networking {
namespace {

class Registry : public BackendFixture {
 protected:
  Registry() : network_(make_network()) {}

  Value last_body(const std::string& path) const {
    return utils::parse_json(requests_to(path).back().body);
  }

  std::unique_ptr<Network> network_;
};

TEST_F(Registry, RegistersOnceUnregistersOnceAndAgain) {
  EXPECT_THROW(network_->unregister(), utils::RuntimeError);
  EXPECT_TRUE(network_->register_(*device_));
  EXPECT_TRUE(network_->is_registered());
  try {
    network_->register_(*device_);
    FAIL() << "no error";
  } catch (const utils::RuntimeError& error) {
    EXPECT_STREQ(error.what(), "Redundant registration attempt");
  }
  network_->unregister();
  EXPECT_FALSE(network_->is_registered());
  try {
    network_->unregister();
    FAIL() << "no error";
  } catch (const utils::RuntimeError& error) {
    EXPECT_STREQ(error.what(), "Redundant Unregistration");
  }
  EXPECT_TRUE(network_->register_(*device_));
  EXPECT_EQ(requests_to("/registry/register").size(), 2u);
  EXPECT_EQ(requests_to("/registry/unregister").size(), 1u);
}

TEST_F(Registry, RegistrationMembersStayForLaterRequests) {
  network_->register_(*device_);
  const Value registered = last_body("/registry/register");
  EXPECT_EQ(registered["username"], kUser);
  EXPECT_EQ(registered["password"], "quokka5");
  EXPECT_EQ(registered["ed_key"], "To_Do");
  EXPECT_EQ(registered["curve_key"], "To_Do");
  EXPECT_EQ(registered["one_time_keys"], Value::array());
  EXPECT_EQ(registered["public_key"], utils::b2s(node_keys().second->export_()));

  EXPECT_TRUE(network_->set_status(device::DeviceStatus::ONLINE));
  const Value status = last_body("/lobby/selfstatus");
  EXPECT_EQ(status["status_type"], "ONLINE");
  for (const char* key : {"username", "password", "ed_key", "curve_key", "one_time_keys"})
    EXPECT_EQ(status[key], registered[key]) << key;
  network_->update_devices();
  network_->set_status(device::DeviceStatus::OFFLINE);
  EXPECT_EQ(last_body("/lobby/selfstatus")["groupid"], "0");
  EXPECT_EQ(last_body("/lobby/selfstatus")["status_type"], "OFFLINE");
}

TEST_F(Registry, TheBackendLearnsTheKeyFromTheRegistration) {
  const auto stranger_keys = sealcraft::make_keys();
  const auto stranger = std::make_shared<device::LocalDevice>(
      utils::Bytes(std::string_view("0c0c0c0c-1111-4222-8333-444455556666")), stranger_keys.second,
      stranger_keys.first);
  const auto network = std::make_unique<Network>(backend_.url(), kRefreshToken, stranger,
                                                 idp_->url());
  EXPECT_THROW(network->set_status(device::DeviceStatus::ONLINE), ValidityError);
  network->register_(*stranger);
  EXPECT_TRUE(network->set_status(device::DeviceStatus::ONLINE));
}

TEST_F(Registry, AFailedRequestChangesNoFlagButKeepsTheNewStatus) {
  backend_.server().script("/registry/register", {503, "down", "text/plain"});
  EXPECT_THROW(network_->register_(*device_), utils::HTTPError);
  EXPECT_FALSE(network_->is_registered());

  device_->set_status(device::DeviceStatus::ONLINE);
  const auto unreachable = make_network("https://127.0.0.1:" +
                                        std::to_string(testing::unused_tcp_port()));
  EXPECT_THROW(unreachable->set_status(device::DeviceStatus::OFFLINE), utils::ConnectionError);
  EXPECT_EQ(device_->status(), device::DeviceStatus::OFFLINE);
  EXPECT_EQ(device_->info()["status_type"], "OFFLINE");
}

}  // namespace
}  // namespace velmora::networking
