// The group action endpoints through HTTPS against the real server, on a node on the fakes: each
// row's body pairs, operation and two messages, on the owner's side and on the member's.
#include <gtest/gtest.h>

#include <stdexcept>

#include "endpoint_fixture.hpp"
#include "velmora/daemon/endpoints/action_endpoint.hpp"

namespace velmora::daemon {
namespace {

using networking::kDeviceId;
using networking::kPeerId;
using utils::Value;

struct Step {
  std::string path;
  Value body;
  bool success;
  std::string message;
  Lines exchanges;
};

class GroupActionEndpoints : public EndpointFixture {
 protected:
  void run(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      SCOPED_TRACE(step.path + " " + step.body.dump());
      expect_triple(act(step.path, step.body.dump()), step.success, step.message);
      EXPECT_EQ(exchanges(), step.exchanges);
    }
  }
};

TEST_F(GroupActionEndpoints, TheOwnersSide) {
  const auto add_request = [&] {
    node().group_requests().with([](model::GroupEntries& entries) {
      entries.insert_or_assign(std::pair{"crew", kPeerId}, "pending");
    });
  };
  run({
      {"/createGroup",
       {{"gName", "crew"}, {"desc", "GPU"}},
       true,
       "group created",
       {"N create crew"}},
      {"/inviteUserToGroup",
       {{"gName", "crew"}, {"uuid", kDeviceId}},
       true,
       "User invited",
       {"N sync crew", "N add crew [D]", "N -> D group_invitation crew"}},
      {"/inviteUserToGroup",
       {{"gName", "crew"}, {"uuid", kDeviceId}},
       false,
       "User invitation failed",
       {}},
      // A number is passed on as its text.
      {"/inviteUserToGroup",
       {{"gName", "crew"}, {"uuid", 5}, {"other", 1}},
       true,
       "User invited",
       {"N sync crew", "N add crew [5]", "N -> 5 group_invitation crew"}},
      {"/removeGroupMember",
       {{"gName", "crew"}, {"uuid", kPeerId}},
       false,
       "Group member removal failed",
       {"N sync crew"}},
      {"/respondToGroupRequest",
       {{"gName", "crew"}, {"uuid", kPeerId}, {"accept", true}},
       false,
       "Group request response failed",
       {}},
  });
  add_request();
  // An answer of 0 rejects, and the request was answered all the same.
  run({{"/respondToGroupRequest",
        {{"gName", "crew"}, {"uuid", kPeerId}, {"accept", 0}},
        true,
        "Group request response succeeded",
        {"N -> P group_request_reject crew"}}});
  make_network()->group_function("join", "crew", {kDeviceId});
  exchanges();
  run({
      {"/removeGroupMember",
       {{"gName", "crew"}, {"uuid", kDeviceId}},
       true,
       "Group member removal succeeded",
       {"N sync crew", "N remove crew [D]", "N -> D group_removal crew"}},
      {"/destroyGroup",
       {{"gName", "crew"}},
       true,
       "group destroyed",
       {"N -> 5 group_destruction crew", "N destroy crew"}},
  });
  EXPECT_TRUE(node().groups().snapshot().empty());
  EXPECT_TRUE(node().group_invitations().snapshot().empty());
  EXPECT_TRUE(node().group_requests().snapshot().empty());
}

TEST_F(GroupActionEndpoints, TheMembersSide) {
  const std::unique_ptr<networking::Network> owner = make_network();
  owner->group_function("create", "theirs", {}, "CPU");
  owner->group_function("add", "theirs", {model::kNodeId});
  node().group_invitations().with(
      [](model::GroupEntries& entries) { entries.insert_or_assign("theirs", "pending"); });
  exchanges();
  run({
      {"/requestToJoinGroup", {{"gName", "theirs"}}, false, "Request failed", {}},
      // Any text that is not empty accepts.
      {"/respondToGroupInvitation",
       {{"gName", "theirs"}, {"accept", "no"}},
       true,
       "Invitation response succeeded",
       {"N sync theirs", "N -> D group_invitation_accept theirs", "N join theirs [N]",
        "N sync theirs"}},
      {"/respondToGroupInvitation",
       {{"gName", "theirs"}, {"accept", true}},
       false,
       "Invitation response failed",
       {}},
      {"/leaveGroup", {{"gName", "theirs"}}, true, "Leaving group succeeded", {"N leave theirs"}},
      {"/leaveGroup", {{"gName", "theirs"}}, false, "Leaving group failed", {}},
      {"/requestToJoinGroup",
       {{"gName", "theirs"}},
       true,
       "Request sent",
       {"N join theirs [N]", "N sync theirs", "N -> D group_request theirs"}},
      {"/requestToJoinGroup", {{"gName", "theirs"}}, false, "Request failed", {}},
  });
}

// A body without one of the row's keys fails before the node object is called; a group the node
// does not hold fails its destruction once the service has destroyed it.
TEST_F(GroupActionEndpoints, FailuresAreAnsweredWithTheirText) {
  ASSERT_TRUE(node().create_group("crew", "GPU"));
  node().group_invitations().with(
      [](model::GroupEntries& entries) { entries.insert_or_assign("theirs", "pending"); });
  exchanges();
  expect_failure(act("/createGroup", R"({"gName": "other"})"), "'desc'");
  expect_failure(act("/respondToGroupInvitation", R"({"gName": "theirs"})"), "'accept'");
  expect_failure(act("/respondToGroupRequest", R"({"gName": "crew", "accept": 1})"), "'uuid'");
  EXPECT_TRUE(exchanges().empty());
  EXPECT_EQ(node().groups().snapshot().size(), 1u);

  node().network()->group_function("create", "loose", {}, "not held");
  exchanges();
  expect_failure(act("/destroyGroup", R"({"gName": "loose"})"), "'loose'");
  EXPECT_EQ(exchanges(), Lines{"N destroy loose"});
}

// A row whose pairs do not give what its operation takes is refused when the table is made.
TEST(ActionRows, ThePairsGiveWhatTheOperationTakes) {
  using model::Velmora;
  const RequiredKey group{"gName", Conversion::text};
  EXPECT_NO_THROW(action("respondToGroupInvitation", {group, {"accept", Conversion::truth}},
                         &Velmora::respond_to_group_invitation, "yes", "no"));
  EXPECT_THROW(action("respondToGroupInvitation", {group, {"accept", Conversion::text}},
                      &Velmora::respond_to_group_invitation, "yes", "no"),
               std::logic_error);
  EXPECT_THROW(action("leaveGroup", {}, &Velmora::leave_group, "yes", "no"), std::logic_error);
  EXPECT_THROW(
      action("declareFriend", {{"uuid", Conversion::truth}}, &Velmora::declare_friend, "yes", "no"),
      std::logic_error);
}

}  // namespace
}  // namespace velmora::daemon
