// The group service call: the request it builds, and a group's life at the fake backend.
#include <gtest/gtest.h>

#include "backend_fixture.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::networking {
namespace {

class GroupService : public BackendFixture {
 protected:
  GroupService()
      : owner_(make_network()),
        member_(make_peer_network()) {}

  Value last_request() const {
    return utils::parse_json(requests_to("/group/function").back().body);
  }

  std::unique_ptr<Network> owner_;
  std::unique_ptr<Network> member_;
};

TEST_F(GroupService, WritesItsSevenMembersIntoTheProfile) {
  owner_->group_function("create", "lab", {}, "GPU friends");
  Value sent = last_request();
  EXPECT_EQ(sent["username"], kUser);
  EXPECT_EQ(sent["call"], "create");
  EXPECT_EQ(sent["group"], "lab");
  EXPECT_EQ(sent["groupid"], "");
  EXPECT_EQ(sent["subgroup"], "");
  EXPECT_EQ(sent["group_desc"], "GPU friends");
  EXPECT_EQ(sent["uuid_list"], "[]");

  EXPECT_THROW(owner_->group_function(std::nullopt, std::nullopt, {kPeerId, "é"}), ValidityError);
  sent = last_request();
  EXPECT_TRUE(sent["call"].is_null());
  EXPECT_TRUE(sent["group"].is_null());
  EXPECT_EQ(sent["group_desc"], "");
  EXPECT_EQ(sent["uuid_list"], "[\"" + kPeerId + "\", \"\\u00e9\"]");

  // The members stay and ride along with the next status report.
  owner_->set_status(device::DeviceStatus::ONLINE);
  const Value status = utils::parse_json(requests_to("/lobby/selfstatus").back().body);
  for (const char* key : {"username", "call", "group", "groupid", "subgroup", "group_desc",
                          "uuid_list"})
    EXPECT_EQ(status[key], sent[key]) << key;
}

TEST_F(GroupService, AMemberIsListedOnceAddedAndJoinedInEitherOrder) {
  owner_->group_function("create", "lab", {}, "GPU friends");
  owner_->group_function("add", "lab", {kPeerId});
  EXPECT_EQ(member_->group_function("sync", "lab")["members_list"], Value({kDeviceId}));
  member_->group_function("join", "lab", {kPeerId});
  const Value synced = member_->group_function("sync", "lab");
  EXPECT_EQ(synced["members_list"], Value({kDeviceId, kPeerId}));
  EXPECT_EQ(synced["owner"], kDeviceId);
  EXPECT_EQ(synced["description"], "GPU friends");
  EXPECT_EQ(synced["msg"], "OK");
  EXPECT_FALSE(synced.contains("valid"));

  member_->group_function("leave", "lab");
  member_->group_function("join", "lab", {kPeerId});  // a request to join again
  owner_->group_function("add", "lab", {kPeerId});    // accepted
  EXPECT_EQ(owner_->group_function("sync", "lab")["members_list"], Value({kDeviceId, kPeerId}));
  owner_->group_function("remove", "lab", {kPeerId});
  EXPECT_EQ(owner_->group_function("sync", "lab")["members_list"], Value({kDeviceId}));

  EXPECT_THROW(member_->group_function("destroy", "lab"), ValidityError);
  owner_->group_function("destroy", "lab");
  EXPECT_THROW(owner_->group_function("sync", "lab"), ValidityError);
}

}  // namespace
}  // namespace velmora::networking
