// The member's side on B's node: answering invitations, asking to join, leaving, and the packages
// of a group's owner (A owns "crew" at the service where a case says so). The packages of anyone
// else, C among them, change nothing.
#include <gtest/gtest.h>

#include "group_fixture.hpp"
#include "testing/fake_backend.hpp"

namespace velmora::model {
namespace {

class GroupMembership : public GroupFixture {
 protected:
  // The next group-service call is answered with these members.
  void answer_next_call(const utils::Value& members) {
    utils::Value answer = {{"valid", true}, {"code", 0}, {"msg", "OK"}};
    answer.update(members);
    backend_.server().script("/group/function", testing::FakeBackend::backend_answer(answer));
  }
};

// Sync answers whose description cannot be recorded, and the error each gives.
const std::pair<utils::Value, std::string> kBadDescriptions[]{
    {{{"description", 5}}, "answer member 'description' is not text"},
    {utils::Value::object(), "'description'"},
};

const auto kAccept = [](GroupProtocol& p) { return p.respond_to_group_invitation("crew", true); };
const auto kReject = [](GroupProtocol& p) { return p.respond_to_group_invitation("crew", false); };
const auto kRequest = [](GroupProtocol& p) { return p.request_to_join_group("crew"); };
const auto kLeave = [](GroupProtocol& p) { return p.leave_group("crew"); };

TEST_F(GroupMembership, AnsweringAnInvitationTellsTheOwnerAndOnAcceptanceJoins) {
  run({
      {.name = "accepting after a removal",
       .device = "B",
       .setup = [this] { owns("A"); client("A").group_function("add", "crew", {id_of("B")}); },
       .before = {.invitations = {"crew: pending", "crew/C: pending"}, .removals = {"crew"}},
       .step = kAccept,
       .after = GroupState{.groups = {"crew: GPU"}, .invitations = {"crew/C: pending"}},
       .writes = {{"group_removals", 1}, {"groups", 1}, {"group_invitations", 1}},
       .steps = {"B sync crew", "B -> A group_invitation_accept crew", "B join crew [B]",
                 "B sync crew"}},
      {.name = "accepting for a group held",
       .device = "B",
       .setup = [this] { owns("A"); },
       .before = {.groups = {"crew: old"}, .invitations = {"crew: pending"}},
       .step = kAccept,
       .after = GroupState{.groups = {"crew: GPU"}},
       .writes = {{"groups", 1}, {"group_invitations", 1}},
       .steps = {"B sync crew", "B -> A group_invitation_accept crew", "B join crew [B]",
                 "B sync crew"}},
      {.name = "rejecting",
       .device = "B",
       .setup = [this] { owns("A"); },
       .before = {.invitations = {"crew: pending"}, .removals = {"crew"}},
       .step = kReject,
       .after = GroupState{.removals = {"crew"}},
       .writes = {{"group_invitations", 1}},
       .steps = {"B sync crew", "B -> A group_invitation_reject crew"}},
      {.name = "no invitation", .device = "B", .step = kAccept, .answer = false},
      {.name = "an invitation not pending",
       .device = "B",
       .before = {.invitations = {"crew: accepted", "crew/C: pending"}},
       .step = kAccept,
       .answer = false},
      // The answer has gone; the invitation waits to be answered again.
      {.name = "a join the service refuses",
       .device = "B",
       .setup = [this] { owns("A"); backend_.refuse_group_call("join"); },
       .before = {.invitations = {"crew: pending"}},
       .step = kAccept,
       .error = "Code 11: Refused",
       .steps = {"B sync crew", "B -> A group_invitation_accept crew", "B join crew [B] refused"}},
      {.name = "an answer that cannot be sent",
       .device = "B",
       .setup = [this] { owns("A"); refuse_next_send(); },
       .before = {.invitations = {"crew: pending"}},
       .step = kAccept,
       .error = "Code 5: refused",
       .steps = {"B sync crew"}},
  });
}

// The owner's "sync", the join and a sync whose description is missing or no text: the removal
// mark is cleared, the group is not recorded and the invitation waits.
TEST_F(GroupMembership, AnAcceptedInvitationNeedsATextDescription) {
  owns("A");
  const std::unique_ptr<GroupNode> b = make_node("B", "b");
  for (const auto& [sync, error] : kBadDescriptions) {
    b->preset({.invitations = {"crew: pending"}, .removals = {"crew"}});
    answer_next_call({{"owner", id_of("A")}});
    answer_next_call(utils::Value::object());
    answer_next_call(sync);
    EXPECT_EQ(thrown_by([&] { b->protocol().respond_to_group_invitation("crew", true); }), error);
    EXPECT_EQ(b->state(), (GroupState{.invitations = {"crew: pending"}}));
  }
}

TEST_F(GroupMembership, RequestingJoinsAtTheServiceThenAsksTheOwner) {
  std::vector<GroupCase> cases{
      {.name = "a group",
       .device = "B",
       .setup = [this] { owns("A"); },
       .before = {.invitations = {"crew/C: pending"}},
       .step = kRequest,
       .after = GroupState{.invitations = {"crew/C: pending"}, .requests = {"crew: pending"}},
       .writes = {{"group_requests", 1}},
       .steps = {"B join crew [B]", "B sync crew", "B -> A group_request crew"}},
      {.name = "a join the service refuses",
       .device = "B",
       .setup = [this] { backend_.refuse_group_call("join"); },
       .step = kRequest,
       .error = "Code 11: Refused",
       .steps = {"B join crew [B] refused"}},
      // Joined at the service, with no request recorded: it may be made again.
      {.name = "a request that cannot be sent",
       .device = "B",
       .setup = [this] { owns("A"); refuse_next_send(); },
       .step = kRequest,
       .error = "Code 5: refused",
       .steps = {"B join crew [B]", "B sync crew"}},
      {.name = "a group held",
       .device = "B",
       .before = {.groups = {"crew: GPU"}},
       .step = kRequest,
       .answer = false},
      {.name = "an invitation waiting",
       .device = "B",
       .before = {.invitations = {"crew: pending"}},
       .step = kRequest,
       .answer = false},
  };
  // An earlier request refuses whatever its answer, also after the group was left.
  for (const char* status : {"pending", "accepted", "rejected"})
    cases.push_back({.name = status,
                     .device = "B",
                     .before = {.requests = {std::string("crew: ") + status}},
                     .step = kRequest,
                     .answer = false});
  run(cases);
}

TEST_F(GroupMembership, LeavingDropsTheRecordOnly) {
  run({
      {.name = "a group held",
       .device = "B",
       .setup = [this] { owns("A"); joins("B"); },
       .before = {.groups = {"crew: GPU"}, .requests = {"crew: accepted"}, .removals = {"other"}},
       .step = kLeave,
       .after = GroupState{.requests = {"crew: accepted"}, .removals = {"other"}},
       .writes = {{"groups", 1}},
       .steps = {"B leave crew"}},
      {.name = "a group not held", .device = "B", .step = kLeave, .answer = false},
      {.name = "a leave the service refuses",
       .device = "B",
       .setup = [this] { backend_.refuse_group_call("leave"); },
       .before = {.groups = {"crew: GPU"}},
       .step = kLeave,
       .error = "Code 11: Refused",
       .steps = {"B leave crew refused"}},
  });
}

// A handler's step for B's node: the package of subject kind from sender about "crew".
GroupStep handled(const char* kind, const char* sender) {
  const std::string what = kind;
  const std::string device = sender;
  return [what, device](GroupProtocol& p) {
    const utils::Bytes origin = from(device);
    if (what == "destruction") p.handle_group_destruction(origin, "crew");
    if (what == "invitation") p.handle_group_invitation(origin, "crew");
    if (what == "accept") p.handle_group_request_response(origin, "crew", true);
    if (what == "reject") p.handle_group_request_response(origin, "crew", false);
    if (what == "removal") p.handle_group_removal(origin, "crew");
    return true;
  };
}

TEST_F(GroupMembership, TheOwnersPackagesChangeTheMembersView) {
  const auto owned_by_a = [this] { owns("A"); };
  run({
      {.name = "a destruction of a group joined",
       .device = "B",
       .setup = owned_by_a,
       .before = {.groups = {"crew: GPU", "other: x"},
                  .invitations = {"crew: pending", "other/C: pending"},
                  .requests = {"crew: accepted"},
                  .removals = {"crew"}},
       .step = handled("destruction", "A"),
       .after = GroupState{.groups = {"other: x"},
                           .invitations = {"other/C: pending"},
                           .removals = {"crew"}},
       .writes = {{"group_invitations", 1}, {"group_requests", 1}, {"groups", 1}},
       .steps = {"B sync crew"}},
      {.name = "a destruction where nothing is held",
       .device = "B",
       .setup = owned_by_a,
       .step = handled("destruction", "A"),
       .writes = {{"groups", 1}},
       .steps = {"B sync crew"}},
      {.name = "a destruction of a group the service no longer knows",
       .device = "B",
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew: pending"}},
       .step = handled("destruction", "C"),
       .after = GroupState{},
       .writes = {{"group_invitations", 1}, {"groups", 1}},
       .steps = {"B sync crew refused"}},
      {.name = "an invitation",
       .device = "B",
       .setup = owned_by_a,
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew/C: pending"}},
       .step = handled("invitation", "A"),
       .after = GroupState{.groups = {"crew: GPU"},
                           .invitations = {"crew/C: pending", "crew: pending"}},
       .writes = {{"group_invitations", 1}},
       .steps = {"B sync crew"}},
      {.name = "an acceptance after a removal",
       .device = "B",
       .setup = owned_by_a,
       .before = {.requests = {"crew: pending"}, .removals = {"crew"}},
       .step = handled("accept", "A"),
       .after = GroupState{.groups = {"crew: GPU"}, .requests = {"crew: accepted"}},
       .writes = {{"group_requests", 1}, {"group_removals", 1}, {"groups", 1}},
       .steps = {"B sync crew"}},
      {.name = "an acceptance unasked",
       .device = "B",
       .setup = owned_by_a,
       .step = handled("accept", "A"),
       .after = GroupState{.groups = {"crew: GPU"}, .requests = {"crew: accepted"}},
       .writes = {{"group_requests", 1}, {"groups", 1}},
       .steps = {"B sync crew"}},
      {.name = "a rejection",
       .device = "B",
       .setup = owned_by_a,
       .before = {.requests = {"crew: pending"}},
       .step = handled("reject", "A"),
       .after = GroupState{.requests = {"crew: rejected"}},
       .writes = {{"group_requests", 1}},
       .steps = {"B sync crew"}},
      {.name = "a removal",
       .device = "B",
       .setup = owned_by_a,
       .before = {.groups = {"crew: GPU"}, .requests = {"crew: accepted"}},
       .step = handled("removal", "A"),
       .after = GroupState{.requests = {"crew: accepted"}, .removals = {"crew"}},
       .writes = {{"groups", 1}, {"group_removals", 1}},
       .steps = {"B sync crew"}},
      {.name = "a removal from a group not held",
       .device = "B",
       .setup = owned_by_a,
       .step = handled("removal", "A"),
       .error = "'crew'",
       .steps = {"B sync crew"}},
      {.name = "an invitation to a group the service does not know",
       .device = "B",
       .step = handled("invitation", "A"),
       .error = "Code 8: No such group",
       .steps = {"B sync crew refused"}},
  });
}

// The answer is stored before its description is read.
TEST_F(GroupMembership, AnAcceptanceNeedsATextDescription) {
  const std::unique_ptr<GroupNode> b = make_node("B", "b");
  for (auto [sync, error] : kBadDescriptions) {
    b->preset({.requests = {"crew: pending"}, .removals = {"crew"}});
    sync["owner"] = id_of("A");
    answer_next_call(sync);
    EXPECT_EQ(thrown_by([&] {
                b->protocol().handle_group_request_response(from("A"), "crew", true);
              }),
              error);
    EXPECT_EQ(b->state(), (GroupState{.requests = {"crew: accepted"}}));
  }
}

// Only the owner changes a member's view of a group, and no one a group this node owns.
TEST_F(GroupMembership, PackagesFromAnyoneButTheOwnerChangeNothing) {
  const GroupState held{.groups = {"crew: GPU", "mine: M"},
                        .invitations = {"crew: pending"},
                        .requests = {"crew: pending"}};
  // Each kind of package, and how its refusal names it.
  const std::pair<const char*, std::string> kinds[]{{"destruction", "destruction"},
                                                    {"invitation", "invitation"},
                                                    {"accept", "request answer"},
                                                    {"reject", "request answer"},
                                                    {"removal", "removal"}};
  std::vector<GroupCase> cases;
  for (const auto& [kind, what] : kinds) {
    cases.push_back({.name = kind,
                     .device = "B",
                     .setup = [this] { owns("A"); },
                     .before = held,
                     .step = handled(kind, "C"),
                     .steps = {"B sync crew"},
                     .logged = {"WARNING:Refused " + what + " of group crew from " + id_of("C") +
                                ": not the group's owner"}});
  }
  // B's own group, whoever names itself the sender.
  for (const char* sender : {"A", "B"}) {
    cases.push_back({.name = sender,
                     .device = "B",
                     .setup = [this] { owns("B"); },
                     .before = {.groups = {"crew: GPU"}},
                     .step = handled("removal", sender),
                     .steps = {"B sync crew"},
                     .logged = {"WARNING:Refused removal of group crew from " + id_of(sender) +
                                ": the group is this node's own"}});
  }
  // A group B created or holds owner-side entries of is B's by its own stores: neither a
  // destruction nor a removal takes it, not even when the service no longer knows the group and
  // so names no owner.
  const GroupState created{.groups = {"crew: GPU"}, .owned = {"crew"}};
  const GroupState inviting{.groups = {"crew: GPU"}, .invitations = {"crew/A: accepted"}};
  const GroupState asked{.requests = {"crew/C: pending"}};
  for (const GroupState& own : {created, inviting, asked}) {
    for (const auto& [kind, sender] : {std::pair{"destruction", "C"}, std::pair{"removal", "A"}}) {
      cases.push_back({.name = kind,
                       .device = "B",
                       .before = own,
                       .step = handled(kind, sender),
                       .logged = {"WARNING:Refused " + std::string(kind) + " of group crew from " +
                                  id_of(sender) + ": the group is this node's own"}});
    }
  }
  run(cases);
}

}  // namespace
}  // namespace velmora::model
