// A group between A, its owner, and B through the fake backend: each step's packages are handled
// by the other node, and after each step both nodes' stores and the group service agree. C, a
// third device, sends what only the owner may send, and changes nothing.
#include <gtest/gtest.h>

#include "group_fixture.hpp"

namespace velmora::model {
namespace {

class GroupBetweenTwoNodes : public GroupFixture {
 protected:
  GroupBetweenTwoNodes() : a_(make_node("A", "a")), b_(make_node("B", "b")) {}

  // A package from device sender to device dest about "crew", as its client sends one.
  void send(const std::string& sender, const std::string& dest, const std::string& subject,
            const std::string& group = "crew") {
    client(sender).send_pkg(id_of(dest), subject, {}, {{"group", group}});
  }

  // The members of "crew" by the group service.
  Lines members() {
    Lines letters;
    for (const std::string& id : a_->protocol().group_member_UUIDs("crew"))
      letters.push_back(id == id_of("A") ? "A" : id == id_of("B") ? "B" : id);
    return letters;
  }

  std::unique_ptr<GroupNode> a_;
  std::unique_ptr<GroupNode> b_;
};

TEST_F(GroupBetweenTwoNodes, InvitationRequestRemovalAndDestruction) {
  ASSERT_TRUE(a_->protocol().create_group("crew", "GPU"));
  EXPECT_EQ(a_->state(), (GroupState{.groups = {"crew: GPU"}, .owned = {"crew"}}));
  EXPECT_EQ(members(), (Lines{"A"}));

  // An invitation: only A's is taken.
  send("C", "B", "group_invitation");
  EXPECT_EQ(b_->dispatch(), Lines{"group_invitation"});
  EXPECT_EQ(b_->state(), GroupState{});
  ASSERT_TRUE(a_->protocol().invite_user_to_group("crew", id_of("B")));
  EXPECT_EQ(a_->state(), (GroupState{.groups = {"crew: GPU"},
                                     .invitations = {"crew/B: pending"},
                                     .owned = {"crew"}}));
  EXPECT_EQ(b_->dispatch(), Lines{"group_invitation"});
  EXPECT_EQ(b_->state(), (GroupState{.invitations = {"crew: pending"}}));

  // B accepts and joins.
  ASSERT_TRUE(b_->protocol().respond_to_group_invitation("crew", true));
  EXPECT_EQ(b_->state(), (GroupState{.groups = {"crew: GPU"}}));
  EXPECT_EQ(a_->dispatch(), Lines{"group_invitation_accept"});
  EXPECT_EQ(a_->state(), (GroupState{.groups = {"crew: GPU"},
                                     .invitations = {"crew/B: accepted"},
                                     .owned = {"crew"}}));
  EXPECT_EQ(members(), (Lines{"A", "B"}));

  // B leaves and asks to come back; C's request of a made-up group is dropped.
  ASSERT_TRUE(b_->protocol().leave_group("crew"));
  EXPECT_EQ(b_->state(), GroupState{});
  EXPECT_EQ(members(), (Lines{"A"}));
  ASSERT_TRUE(b_->protocol().request_to_join_group("crew"));
  EXPECT_EQ(b_->state(), (GroupState{.requests = {"crew: pending"}}));
  send("C", "A", "group_request", "made-up");
  EXPECT_EQ(a_->dispatch(), (Lines{"group_request", "group_request"}));
  EXPECT_EQ(a_->state(), (GroupState{.groups = {"crew: GPU"},
                                     .invitations = {"crew/B: accepted"},
                                     .requests = {"crew/B: pending"},
                                     .owned = {"crew"}}));

  // Only A's answer is taken.
  send("C", "B", "group_request_accept");
  EXPECT_EQ(b_->dispatch(), Lines{"group_request_accept"});
  EXPECT_EQ(b_->state(), (GroupState{.requests = {"crew: pending"}}));
  ASSERT_TRUE(a_->protocol().respond_to_group_request("crew", id_of("B"), true));
  EXPECT_EQ(a_->state(), (GroupState{.groups = {"crew: GPU"},
                                     .invitations = {"crew/B: accepted"},
                                     .owned = {"crew"}}));
  EXPECT_EQ(members(), (Lines{"A", "B"}));
  EXPECT_EQ(b_->dispatch(), Lines{"group_request_accept"});
  EXPECT_EQ(b_->state(), (GroupState{.groups = {"crew: GPU"}, .requests = {"crew: accepted"}}));

  // Only A removes B. A member's package never takes A's own group.
  send("C", "B", "group_removal");
  EXPECT_EQ(b_->dispatch(), Lines{"group_removal"});
  send("B", "A", "group_destruction");
  EXPECT_EQ(a_->dispatch(), Lines{"group_destruction"});
  EXPECT_EQ(a_->state().groups, Lines{"crew: GPU"});
  ASSERT_TRUE(a_->protocol().remove_group_member("crew", id_of("B")));
  EXPECT_EQ(a_->state(), (GroupState{.groups = {"crew: GPU"}, .owned = {"crew"}}));
  EXPECT_EQ(members(), (Lines{"A"}));
  EXPECT_EQ(b_->state(), (GroupState{.groups = {"crew: GPU"}, .requests = {"crew: accepted"}}));
  EXPECT_EQ(b_->dispatch(), Lines{"group_removal"});
  EXPECT_EQ(b_->state(), (GroupState{.requests = {"crew: accepted"}, .removals = {"crew"}}));
  EXPECT_FALSE(b_->protocol().request_to_join_group("crew"));

  // A invites B again and destroys the group; C's destruction comes first and is dropped. A's
  // reaches B once the service has forgotten the group, and is taken.
  ASSERT_TRUE(a_->protocol().invite_user_to_group("crew", id_of("B")));
  send("C", "B", "group_destruction");
  EXPECT_EQ(b_->dispatch(), (Lines{"group_invitation", "group_destruction"}));
  EXPECT_EQ(b_->state(), (GroupState{.invitations = {"crew: pending"},
                                     .requests = {"crew: accepted"},
                                     .removals = {"crew"}}));
  ASSERT_TRUE(a_->protocol().destroy_group("crew"));
  EXPECT_EQ(a_->state(), GroupState{});
  EXPECT_THROW(members(), networking::ValidityError);
  EXPECT_EQ(b_->dispatch(), Lines{"group_destruction"});
  EXPECT_EQ(b_->state(), (GroupState{.removals = {"crew"}}));

  Lines refusals;
  for (const std::string& line : logged())
    if (line.starts_with("WARNING:")) refusals.push_back(line);
  const std::string from_c = " of group crew from " + id_of("C") + ": not the group's owner";
  EXPECT_EQ(refusals,
            (Lines{"WARNING:Refused invitation" + from_c,
                   "WARNING:Refused join request of group made-up from " + id_of("C") +
                       ": no such group here",
                   "WARNING:Refused request answer" + from_c, "WARNING:Refused removal" + from_c,
                   "WARNING:Refused destruction of group crew from " + id_of("B") +
                       ": the group is this node's own",
                   "WARNING:Refused destruction" + from_c}));
}

}  // namespace
}  // namespace velmora::model
