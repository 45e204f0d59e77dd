// Two nodes, alice's and bob's, each a node_harness process that serves its local API, on the
// fake backend and identity provider of this process: a friend request and a group invitation
// sent through one node's API and answered through the other's, with the packages between them
// taken by the nodes' own polls.
#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <optional>
#include <string>

#include "api_fixture.hpp"
#include "testing/eventually.hpp"
#include "testing/harnessed_node.hpp"
#include "testing/https_client.hpp"
#include "testing/token_minter.hpp"
#include "tests/networking/backend_fixture.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {
namespace {

using utils::Value;

// One user's node, built from the refresh token "refresh-<user>", and a client of its local API
// with an access token of that user.
class UserNode {
 public:
  UserNode(testing::FakeIdentityProvider& idp, const std::string& backend_url,
           const std::filesystem::path& folder, const std::string& user)
      : api_tls_(make_tls(folder, user)),
        node_(NODE_HARNESS_PATH,
              {"--refresh-token", "refresh-" + user, "--backend", backend_url, "--api-cert",
               api_tls_.cert.string(), "--api-key", api_tls_.key.string()},
              folder / user, folder / (user + "-tmp"),
              {{"VELMORA_IDP_DOMAIN", idp.domain()},
               {"VELMORA_API_AUDIENCE", kAudience},
               {"no_proxy", "127.0.0.1,localhost"},
               {"NO_PROXY", "127.0.0.1,localhost"}}),
        client_(testing::https_client("127.0.0.1", node_.ask("api_port").get<int>(),
                                      api_tls_.cert)),
        token_(testing::TokenMinter().rs256(
            testing::TokenMinter::claims(idp.domain(), kAudience, user))) {
    idp.set_user(token_, user);
  }

  testing::HarnessedNode& node() { return node_; }
  const std::string& id() const { return node_.id(); }

  // The answer of a GET, or of a POST of body, that status 200 and JSON; none otherwise.
  std::optional<Value> get(const std::string& path) {
    return json_of(client_->Get(path, headers()));
  }
  std::optional<Value> post(const std::string& path, const Value& body) {
    return json_of(client_->Post(path, headers(), body.dump(), "application/json"));
  }

 private:
  // The certificate and key the node's API presents.
  static testing::TlsFiles make_tls(const std::filesystem::path& folder, const std::string& user) {
    return testing::make_self_signed_certificate(folder, "api-" + user, testing::TlsKey::ec_p256);
  }
  httplib::Headers headers() const { return {{"Authorization", "Bearer " + token_}}; }
  static std::optional<Value> json_of(const httplib::Result& result) {
    if (!result || result->status != 200 || result->get_header_value("Content-Type") != kJson)
      return std::nullopt;
    return utils::parse_json(result->body);
  }

  testing::TlsFiles api_tls_;
  testing::HarnessedNode node_;
  std::unique_ptr<httplib::SSLClient> client_;
  std::string token_;
};

class TwoNodesThroughTheirApis : public networking::BackendFixture {
 protected:
  TwoNodesThroughTheirApis() {
    for (const char* user : {"alice", "bob"}) {
      idp_->set_refresh_token(std::string("refresh-") + user, std::string("access-") + user);
      idp_->set_user(std::string("access-") + user, user);
    }
    alice_ = std::make_unique<UserNode>(*idp_, backend_.url(), folder_.path(), "alice");
    bob_ = std::make_unique<UserNode>(*idp_, backend_.url(), folder_.path(), "bob");
    for (UserNode* user : {alice_.get(), bob_.get()}) {
      user->node().ask("register");
      user->node().ask("start_threads");
    }
  }

  static Value answer(bool success, const std::string& message) {
    return {{"success", success}, {"code", 0}, {"msg", message}};
  }
  static Value listing(const std::string& field, const Value& value,
                       const std::string& message = "success") {
    Value triple = answer(true, message);
    triple[field] = value;
    return triple;
  }
  // The profile of device id in an answer of "/getMyOutboundRequestList", parsed.
  static Value outbound_profile(const Value& answer, const std::string& id) {
    return utils::parse_json(answer.at("outbound_requests").at(id).get<std::string>());
  }
  // Whether the answer to GET path on user's node comes to be listing(field, value).
  static bool comes_to(UserNode& user, const std::string& path, const std::string& field,
                       const Value& value) {
    return testing::eventually([&] { return user.get(path) == listing(field, value); });
  }

  std::unique_ptr<UserNode> alice_;
  std::unique_ptr<UserNode> bob_;
};

TEST_F(TwoNodesThroughTheirApis, AFriendRequestAndAGroupInvitationAreAnswered) {
  // Alice asks bob; bob's list shows her once her package and his device list have come.
  EXPECT_EQ(alice_->post("/sendFriendRequest", {{"uuid", bob_->id()}}),
            answer(true, "Request sent"));
  std::optional<Value> inbound;
  ASSERT_TRUE(testing::eventually([&] {
    inbound = bob_->get("/getMyInboundRequestList");
    return inbound && inbound->at("friend_list").size() == 1;
  }));
  const Value alice_profile = inbound->at("friend_list").at(0);
  EXPECT_EQ(alice_profile.at("uuid"), alice_->id());

  EXPECT_EQ(bob_->post("/declareFriend", {{"uuid", alice_->id()}}), answer(true, "friend added"));
  EXPECT_EQ(bob_->get("/getMyFriendList"), listing("friend_list", Value{alice_profile}));
  EXPECT_EQ(bob_->get("/getMyInboundRequestList"), listing("friend_list", Value::array()));
  std::optional<Value> outbound;
  ASSERT_TRUE(testing::eventually([&] {
    outbound = alice_->get("/getMyOutboundRequestList");
    return outbound && outbound->at("outbound_requests").contains(bob_->id()) &&
           outbound_profile(*outbound, bob_->id()).at("invite_status") == "accepted";
  }));
  EXPECT_EQ(outbound->at("outbound_requests").size(), 1u);
  Value bob_profile = outbound_profile(*outbound, bob_->id());
  bob_profile.erase("invite_status");
  EXPECT_EQ(bob_profile.at("uuid"), bob_->id());
  // Alice runs jobs on bob's node; bob runs none on hers until she declares him too.
  EXPECT_EQ(alice_->get("/getMyFriendList"), listing("friend_list", Value::array()));

  // Alice invites bob into her group; he accepts, and her record of the invitation follows.
  EXPECT_EQ(alice_->post("/createGroup", {{"gName", "crew"}, {"desc", "GPU"}}),
            answer(true, "group created"));
  EXPECT_EQ(alice_->post("/inviteUserToGroup", {{"gName", "crew"}, {"uuid", bob_->id()}}),
            answer(true, "User invited"));
  ASSERT_TRUE(comes_to(*bob_, "/inboundGroupInvitations", "inbound_invites", Value{"crew"}));
  EXPECT_EQ(bob_->post("/respondToGroupInvitation", {{"gName", "crew"}, {"accept", true}}),
            answer(true, "Invitation response succeeded"));
  EXPECT_EQ(bob_->get("/getMyGroups"),
            listing("profile", Value{Value{{"name", "crew"}, {"desc", "GPU"}}}));
  EXPECT_EQ(bob_->get("/inboundGroupInvitations"), listing("inbound_invites", Value::array()));
  EXPECT_TRUE(
      comes_to(*alice_, "/outboundGroupInvitations", "outbound_invites",
               Value{Value{{"group", "crew"}, {"user", bob_profile}, {"status", "accepted"}}}));
  EXPECT_EQ(alice_->post("/groupMemberInfo", {{"gName", "crew"}}),
            listing("member_list", Value{bob_profile}, "member list retrieved"));
  EXPECT_EQ(bob_->post("/groupOwnerInfo", {{"gName", "crew"}}),
            listing("info", {{"username", alice_->id()}}, "Owner info retrieved"));
}

}  // namespace
}  // namespace velmora::daemon
