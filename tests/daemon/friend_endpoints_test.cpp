// The friend endpoints through HTTPS against the real server, on a node on the fakes: the three
// lists from the stores and the device table, and the four actions on the device a body names.
#include <gtest/gtest.h>

#include "endpoint_fixture.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/text/ascii_json.hpp"

namespace velmora::daemon {
namespace {

using networking::kDeviceId;
using networking::kPeerId;
using utils::Value;

const utils::Bytes kD = utils::s2b(kDeviceId);  // sorts before kP
const utils::Bytes kP = utils::s2b(kPeerId);

// The key error of a device id the table does not hold.
std::string missing(const std::string& id) { return "b'" + id + "'"; }

std::string uuid_body(const std::string& id) { return Value{{"uuid", id}}.dump(); }

class FriendEndpoints : public EndpointFixture {
 protected:
  void preset(model::Store<model::DeviceIds>& store, model::DeviceIds ids) {
    store.with([&](model::DeviceIds& held) { held = std::move(ids); });
  }
  // The profile as the outbound list answers it: its JSON text with the request's state.
  std::string outbound(const std::string& id, const std::string& state) {
    Value answered = profile(id);
    answered["invite_status"] = state;
    return utils::ascii_json_text(answered);
  }
};

TEST_F(FriendEndpoints, EmptyStoresListNothing) {
  expect_triple(ask("/getMyFriendList"), "success", "friend_list", Value::array());
  expect_triple(ask("/getMyInboundRequestList"), "success", "friend_list", Value::array());
  expect_triple(ask("/getMyOutboundRequestList"), "success", "outbound_requests", Value::object());
}

TEST_F(FriendEndpoints, ListTheProfilesOfTheStoredDevices) {
  list_devices();
  preset(node().friends(), {kP, kD});
  preset(node().inbound_requests(), {kP});
  expect_triple(ask("/getMyFriendList"), "success", "friend_list",
                Value{profile(kDeviceId), profile(kPeerId)});
  expect_triple(ask("/getMyInboundRequestList"), "success", "friend_list", Value{profile(kPeerId)});
}

// Before the first device list every stored device is missing: the first one met names the
// failure, and the same request succeeds once the table lists them.
TEST_F(FriendEndpoints, ADeviceMissingFromTheTableFailsTheWholeList) {
  preset(node().friends(), {kD, kP});
  preset(node().inbound_requests(), {kP});
  preset(node().pending_requests(), {kP});
  preset(node().accepted_requests(), {kD});
  expect_failure(ask("/getMyFriendList"), missing(kDeviceId));
  expect_failure(ask("/getMyInboundRequestList"), missing(kPeerId));
  expect_failure(ask("/getMyOutboundRequestList"), missing(kPeerId));  // the pending store first

  list_devices();
  expect_triple(ask("/getMyInboundRequestList"), "success", "friend_list", Value{profile(kPeerId)});
}

// The stores in the order pending, accepted, rejected, removed: a later one's state wins, and an
// id keeps the place where it was first met. The state goes into a copy of the profile only.
TEST_F(FriendEndpoints, TheOutboundListShowsTheLastStateOfEachDevice) {
  list_devices();
  preset(node().pending_requests(), {kP});
  preset(node().accepted_requests(), {kD});
  preset(node().rejected_requests(), {kD});
  preset(node().friend_removals(), {kP});
  const Value expected{{kPeerId, outbound(kPeerId, "removed")},
                       {kDeviceId, outbound(kDeviceId, "rejected")}};
  expect_triple(ask("/getMyOutboundRequestList"), "success", "outbound_requests", expected);

  preset(node().friends(), {kD});
  expect_triple(ask("/getMyFriendList"), "success", "friend_list", Value{profile(kDeviceId)});
  EXPECT_FALSE(profile(kDeviceId).contains("invite_status"));
}

TEST_F(FriendEndpoints, EachActionAnswersItsOperationsResultWithCodeZero) {
  list_devices();
  exchanges();
  preset(node().inbound_requests(), {kP});
  const struct {
    std::string path;
    std::string uuid;
    bool success;
    std::string message;
    Lines sent;
  } steps[] = {
      {"/declareFriend", kDeviceId, true, "friend added", {"N -> D friend_accept"}},
      {"/declareFriend", kDeviceId, false, "friend not added", {}},
      {"/rejectFriend", kDeviceId, false, "friend not rejected", {}},
      {"/rejectFriend", kPeerId, true, "friend rejected", {"N -> P friend_reject"}},
      {"/removeFriend", kPeerId, false, "friend not removed", {}},
      {"/removeFriend", kDeviceId, true, "friend removed", {"N -> D friend_remove"}},
      {"/sendFriendRequest", kPeerId, true, "Request sent", {"N -> P friend_request"}},
      {"/sendFriendRequest", kPeerId, false, "Request failed to send", {}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.path + " " + step.uuid);
    expect_triple(act(step.path, uuid_body(step.uuid)), step.success, step.message);
    EXPECT_EQ(exchanges(), step.sent);
  }
  EXPECT_EQ(node().friends().snapshot(), model::DeviceIds{});
  EXPECT_EQ(node().inbound_requests().snapshot(), model::DeviceIds{});
  expect_triple(ask("/getMyOutboundRequestList"), "success", "outbound_requests",
                Value{{kPeerId, outbound(kPeerId, "pending")}});
}

// A device the table does not hold is acted on all the same; a "uuid" that is no text is taken
// as its text; a body without it, or one the node cannot read, changes nothing.
TEST_F(FriendEndpoints, TheBodyNamesTheDeviceAsText) {
  expect_triple(act("/declareFriend", R"({"uuid": 7, "other": 1})"), true, "friend added");
  EXPECT_EQ(exchanges(), Lines{"N -> 7 friend_accept"});
  EXPECT_EQ(node().friends().snapshot(), model::DeviceIds{utils::s2b("7")});

  expect_failure(act("/sendFriendRequest", "{}"), "'uuid'");
  expect_failure(act("/sendFriendRequest", R"(["uuid"])"),
                 "the request body must be a JSON object, not list");
  expect_failure(act("/sendFriendRequest", R"({"uuid": "\u0100"})"),
                 "code point at byte 0 is above U+00FF and has no byte value");
  const httplib::Result not_json = act("/sendFriendRequest", "uuid");
  ASSERT_TRUE(not_json);
  EXPECT_EQ(not_json->status, 500);
  EXPECT_NE(not_json->body.find("Failed to decode JSON object"), std::string::npos);
  EXPECT_TRUE(exchanges().empty());
  EXPECT_EQ(node().pending_requests().snapshot(), model::DeviceIds{});
}

// The friend is recorded before the send, so a failed send leaves it a friend.
TEST_F(FriendEndpoints, ADeclarationWhoseSendFailsLeavesTheDeviceAFriend) {
  backend_.server().script(
      "/transfer/sendfilereq",
      testing::FakeBackend::backend_answer({{"valid", false}, {"code", 5}, {"msg", "refused"}}));
  const httplib::Result failed = act("/declareFriend", uuid_body(kDeviceId));
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 500);
  EXPECT_NE(failed->body.find("Code 5: refused"), std::string::npos) << failed->body;
  EXPECT_EQ(node().friends().snapshot(), model::DeviceIds{kD});
  expect_triple(act("/declareFriend", uuid_body(kDeviceId)), false, "friend not added");
  EXPECT_TRUE(exchanges().empty());
}

}  // namespace
}  // namespace velmora::daemon
