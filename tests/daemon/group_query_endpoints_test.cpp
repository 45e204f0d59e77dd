// The group query endpoints through HTTPS against the real server, on a node on the fakes: the
// listings of the group stores, each taking its own kind of entry, and the member and owner
// queries of the group service.
#include <gtest/gtest.h>

#include "endpoint_fixture.hpp"

namespace velmora::daemon {
namespace {

using networking::kDeviceId;
using networking::kPeerId;
using utils::Value;

std::string missing(const std::string& id) { return "b'" + id + "'"; }

std::string group_body(const Value& name) { return Value{{"gName", name}, {"other", 1}}.dump(); }

class GroupQueryEndpoints : public EndpointFixture {
 protected:
  // The stores hold both kinds of entry: the owner's about a device, the member's about a group.
  void preset_stores() {
    node().groups().with([](model::Groups& groups) {
      groups.insert_or_assign("crew", {{"desc", "GPU"}});
      groups.insert_or_assign("theirs", {{"desc", "CPU"}});
    });
    node().group_invitations().with([](model::GroupEntries& entries) {
      entries.insert_or_assign(std::pair{"crew", kDeviceId}, "accepted");
      entries.insert_or_assign("joined", "pending");
      entries.insert_or_assign(std::pair{"crew", kPeerId}, "pending");
      entries.insert_or_assign("later", "pending");
    });
    node().group_requests().with([](model::GroupEntries& entries) {
      entries.insert_or_assign("mine", "rejected");
      entries.insert_or_assign(std::pair{"crew", kPeerId}, "pending");
      entries.insert_or_assign("ours", "accepted");
    });
    node().group_removals().with([](model::GroupNames& names) { names = {"gone", "away"}; });
  }
};

TEST_F(GroupQueryEndpoints, EmptyStoresListNothing) {
  const std::pair<std::string, std::string> listings[] = {
      {"/getMyGroups", "profile"},
      {"/outboundGroupInvitations", "outbound_invites"},
      {"/inboundGroupInvitations", "inbound_invites"},
      {"/outboundGroupRequests", "outbound_requests"},
      {"/inboundGroupRequests", "inbound_requests"},
      {"/groupRemovals", "removals"},
  };
  for (const auto& [path, field] : listings) {
    SCOPED_TRACE(path);
    expect_triple(ask(path), "success", field, Value::array());
  }
}

TEST_F(GroupQueryEndpoints, EachListingTakesItsKindOfEntry) {
  list_devices();
  preset_stores();
  expect_triple(
      ask("/getMyGroups"), "success", "profile",
      Value{Value{{"name", "crew"}, {"desc", "GPU"}}, Value{{"name", "theirs"}, {"desc", "CPU"}}});
  expect_triple(
      ask("/outboundGroupInvitations"), "success", "outbound_invites",
      Value{Value{{"group", "crew"}, {"user", profile(kDeviceId)}, {"status", "accepted"}},
            Value{{"group", "crew"}, {"user", profile(kPeerId)}, {"status", "pending"}}});
  expect_triple(ask("/inboundGroupInvitations"), "success", "inbound_invites",
                Value{"joined", "later"});
  expect_triple(ask("/outboundGroupRequests"), "success", "outbound_requests",
                Value{Value{{"group", "mine"}, {"status", "rejected"}},
                      Value{{"group", "ours"}, {"status", "accepted"}}});
  expect_triple(ask("/inboundGroupRequests"), "success", "inbound_requests",
                Value{Value{{"group", "crew"}, {"user", profile(kPeerId)}}});
  expect_triple(ask("/groupRemovals"), "success", "removals", Value{"away", "gone"});
}

TEST_F(GroupQueryEndpoints, ADeviceMissingFromTheTableFailsTheWholeListing) {
  preset_stores();
  expect_failure(ask("/outboundGroupInvitations"), missing(kDeviceId));  // the first one met
  expect_failure(ask("/inboundGroupRequests"), missing(kPeerId));
  // The listings without profiles read no table.
  expect_triple(ask("/inboundGroupInvitations"), "success", "inbound_invites",
                Value{"joined", "later"});
}

TEST_F(GroupQueryEndpoints, MembersAndOwnerComeFromTheGroupService) {
  list_devices();
  ASSERT_TRUE(node().create_group("crew", "GPU"));
  ASSERT_TRUE(node().create_group("5", "numbered"));
  exchanges();
  expect_triple(act("/groupMemberInfo", group_body("crew")), "member list retrieved", "member_list",
                Value::array());
  expect_triple(act("/groupMemberInfo", group_body(5)), "member list retrieved", "member_list",
                Value::array());
  node().network()->group_function("add", "crew", {kDeviceId});
  make_network()->group_function("join", "crew", {kDeviceId});
  expect_triple(act("/groupMemberInfo", group_body("crew")), "member list retrieved", "member_list",
                Value{profile(kDeviceId)});
  // The owner's device id, under "username".
  expect_triple(act("/groupOwnerInfo", group_body("crew")), "Owner info retrieved", "info",
                Value{{"username", model::kNodeId}});
  EXPECT_EQ(exchanges(), (Lines{"N sync crew", "N sync 5", "N add crew [D]", "D join crew [D]",
                                "N sync crew", "N sync crew"}));

  expect_failure(act("/groupOwnerInfo", "{}"), "'gName'");
  const httplib::Result unknown = act("/groupOwnerInfo", group_body("none"));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 500);
  EXPECT_NE(unknown->body.find(R"("code":-1,"msg":"Code 8: No such group\n)"), std::string::npos)
      << unknown->body;
}

}  // namespace
}  // namespace velmora::daemon
