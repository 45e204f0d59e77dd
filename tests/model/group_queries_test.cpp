// The group queries: one "sync" call each, and what they make of its answer.
#include <gtest/gtest.h>

#include <functional>

#include "group_fixture.hpp"
#include "node_fixture.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

using utils::Value;

class GroupQueries : public GroupFixture {
 protected:
  GroupQueries() : a_(make_node("A", "a")) {}

  // The next "sync" is answered with these members.
  void answer_sync(const Value& members) {
    Value answer = {{"valid", true}, {"code", 0}, {"msg", "OK"}};
    answer.update(members);
    backend_.server().script("/group/function", testing::FakeBackend::backend_answer(answer));
  }

  // Registers the three devices and reads the device list into A's table.
  void list_devices() {
    for (const char* device : {"A", "B", "C"})
      client(device).register_(*client(device).local_device());
    client("A").update_devices();
  }

  std::unique_ptr<GroupNode> a_;
};

TEST_F(GroupQueries, MembersAndOwnerComeFromTheGroupsSync) {
  client("B").group_function("create", "crew", {}, "GPU");
  client("B").group_function("add", "crew", {id_of("A")});
  client("A").group_function("join", "crew", {id_of("A")});
  steps();
  EXPECT_EQ(a_->protocol().group_member_UUIDs("crew"), (Lines{id_of("B"), id_of("A")}));
  EXPECT_EQ(a_->protocol().group_owner("crew"), id_of("B"));
  EXPECT_EQ(steps(), (Lines{"A sync crew", "A sync crew"}));
  EXPECT_THROW(a_->protocol().group_owner("none"), networking::ValidityError);
}

TEST_F(GroupQueries, AnOwnerIsTextOrNone) {
  answer_sync({{"owner", nullptr}});
  EXPECT_EQ(a_->protocol().group_owner("crew"), std::nullopt);
  answer_sync({{"owner", 5}});
  EXPECT_EQ(error_text<utils::TypeError>([&] { a_->protocol().group_owner("crew"); }),
            "Expected unicode, got int");
  answer_sync({{"members_list", Value::array()}});
  EXPECT_EQ(error_text<utils::KeyError>([&] { a_->protocol().group_owner("crew"); }), "'owner'");
}

TEST_F(GroupQueries, AMemberListIsAListOfTexts) {
  for (const Value& members : {Value(id_of("A")), Value({id_of("A"), 5}), Value::object()}) {
    answer_sync({{"members_list", members}});
    EXPECT_EQ(error_text<utils::TypeError>([&] { a_->protocol().group_member_UUIDs("crew"); }),
              "answer member 'members_list' is not a list of texts");
  }
  answer_sync({{"owner", id_of("A")}});
  EXPECT_EQ(error_text<utils::KeyError>([&] { a_->protocol().group_member_UUIDs("crew"); }),
            "'members_list'");
}

// Each member list is answered by the one "sync"; the profiles are named by their "uuid".
TEST_F(GroupQueries, MemberInfoListsTheProfilesOfTheOtherMembersInListOrder) {
  list_devices();
  const std::string a = id_of("A"), b = id_of("B"), c = id_of("C");
  const struct {
    const char* name;
    Lines members;
    Lines profiles;
  } cases[]{
      {"only this node", {a}, {}},
      {"this node among others", {c, a, b}, {c, b}},
      {"this node twice", {a, b, a}, {b, a}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    answer_sync({{"members_list", c.members}});
    const int calls = backend_.server().calls("/group/function");
    Lines profiles;
    for (const Value& profile : a_->protocol().group_member_info("crew"))
      profiles.push_back(profile.at("uuid"));
    EXPECT_EQ(profiles, c.profiles);
    EXPECT_EQ(backend_.server().calls("/group/function"), calls + 1);
  }
}

TEST_F(GroupQueries, MemberInfoFailsForAListWithoutThisNodeAndForAMemberNotListed) {
  list_devices();
  const std::string stranger = "0f0f0f0f-0000-4000-8000-000000000000";
  // This node is missing: no lookup is made, so the stranger does not fail it first.
  answer_sync({{"members_list", {stranger, id_of("B")}}});
  EXPECT_EQ(error_text<utils::ValueError>([&] { a_->protocol().group_member_info("crew"); }),
            "list.remove(x): x not in list");
  answer_sync({{"members_list", {id_of("A"), id_of("B"), stranger}}});
  EXPECT_EQ(error_text<utils::KeyError>([&] { a_->protocol().group_member_info("crew"); }),
            "b'" + stranger + "'");
}

}  // namespace
}  // namespace velmora::model
