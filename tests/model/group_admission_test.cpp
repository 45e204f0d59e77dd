// The owner letting members in, on A's node (A owns "crew" at the service where a case says so).
#include <gtest/gtest.h>

#include <atomic>

#include "group_fixture.hpp"
#include "run_together.hpp"

namespace velmora::model {
namespace {

class GroupAdmission : public GroupFixture {};

const std::string kInvitingB = "INFO:Inviting " + id_of("B") + " to crew";

TEST_F(GroupAdmission, InvitingAddsTellsAndRecordsUnlessTheDeviceIsKnown) {
  const auto invite_b = [](GroupProtocol& p) { return p.invite_user_to_group("crew", id_of("B")); };
  std::vector<GroupCase> cases{
      {.name = "a stranger",
       .setup = [this] { owns("A"); },
       .before = {.groups = {"crew: GPU"}, .invitations = {"other/B: pending", "crew: pending"}},
       .step = invite_b,
       .after = GroupState{.groups = {"crew: GPU"},
                           .invitations = {"other/B: pending", "crew: pending",
                                           "crew/B: pending"}},
       .writes = {{"group_invitations", 1}},
       .steps = {"A sync crew", "A add crew [B]", "A -> B group_invitation crew"},
       .logged = {kInvitingB}},
      {.name = "a member",
       .setup = [this] { owns("A"); joins("B"); },
       .before = {.groups = {"crew: GPU"}},
       .step = invite_b,
       .answer = false,
       .steps = {"A sync crew"},
       .logged = {kInvitingB, "INFO:user already in group"}},
      {.name = "a device whose request waits",
       .setup = [this] { owns("A"); },
       .before = {.groups = {"crew: GPU"}, .requests = {"crew/B: pending"}},
       .step = invite_b,
       .answer = false,
       .steps = {"A sync crew"},
       .logged = {kInvitingB, "INFO:user already requested"}},
      {.name = "an add the service refuses",
       .setup = [this] { owns("A"); backend_.refuse_group_call("add"); },
       .before = {.groups = {"crew: GPU"}},
       .step = invite_b,
       .error = "Code 11: Refused",
       .steps = {"A sync crew", "A add crew [B] refused"},
       .logged = {kInvitingB}},
      {.name = "an invitation that cannot be sent",
       .setup = [this] { owns("A"); refuse_next_send(); },
       .before = {.groups = {"crew: GPU"}},
       .step = invite_b,
       .error = "Code 5: refused",
       .steps = {"A sync crew", "A add crew [B]"},
       .logged = {kInvitingB}},
  };
  // Invited already, whatever the answer: refused before any call.
  for (const char* status : {"pending", "accepted", "rejected"})
    cases.push_back({.name = status,
                     .before = {.invitations = {std::string("crew/B: ") + status}},
                     .step = invite_b,
                     .answer = false,
                     .logged = {kInvitingB, "INFO:user already invited"}});
  run(cases);
}

TEST_F(GroupAdmission, AnAcceptedRequestIsAddedAtTheServiceBeforeTheRequesterIsTold) {
  const auto answer_b = [](bool accept) {
    return [accept](GroupProtocol& p) {
      return p.respond_to_group_request("crew", id_of("B"), accept);
    };
  };
  run({
      {.name = "accepting",
       .setup = [this] { owns("A"); client("B").group_function("join", "crew", {id_of("B")}); },
       .before = {.requests = {"crew/B: pending", "crew/C: pending"}},
       .step = answer_b(true),
       .after = GroupState{.requests = {"crew/C: pending"}},
       .writes = {{"group_requests", 1}},
       .steps = {"A add crew [B]", "A -> B group_request_accept crew"}},
      {.name = "rejecting",
       .before = {.requests = {"crew/B: pending"}},
       .step = answer_b(false),
       .after = GroupState{},
       .writes = {{"group_requests", 1}},
       .steps = {"A -> B group_request_reject crew"}},
      {.name = "no request of the device",
       .before = {.requests = {"crew: pending", "crew/C: pending"}},
       .step = answer_b(true),
       .answer = false},
      // The requester hears nothing of an admission the service refused; it may be answered again.
      {.name = "an add the service refuses",
       .setup = [this] { backend_.refuse_group_call("add"); },
       .before = {.requests = {"crew/B: pending"}},
       .step = answer_b(true),
       .error = "Code 11: Refused",
       .steps = {"A add crew [B] refused"}},
      {.name = "an answer that cannot be sent",
       .setup = [this] { owns("A"); refuse_next_send(); },
       .before = {.requests = {"crew/B: pending"}},
       .step = answer_b(true),
       .error = "Code 5: refused",
       .steps = {"A add crew [B]"}},
  });
}

TEST_F(GroupAdmission, RequestsAndAnswersAreRecordedUnderTheSendersOwnId) {
  run({
      {.name = "a request for a group created",
       .before = {.groups = {"crew: GPU"}, .owned = {"crew"}},
       .step = [](GroupProtocol& p) { p.handle_group_request(from("B"), "crew"); return true; },
       .after = GroupState{.groups = {"crew: GPU"}, .requests = {"crew/B: pending"},
                           .owned = {"crew"}},
       .writes = {{"group_requests", 1}}},
      // A group created before created groups were marked: the service names its owner.
      {.name = "a request for a group held unmarked",
       .setup = [this] { owns("A"); },
       .before = {.groups = {"crew: GPU"}},
       .step = [](GroupProtocol& p) { p.handle_group_request(from("B"), "crew"); return true; },
       .after = GroupState{.groups = {"crew: GPU"}, .requests = {"crew/B: pending"},
                           .owned = {"crew"}},
       .writes = {{"group_requests", 1}, {"owned_groups", 1}},
       .steps = {"A sync crew"}},
      {.name = "the same request again",
       .before = {.groups = {"crew: GPU"}, .requests = {"crew/B: pending", "crew/C: pending"}},
       .step = [](GroupProtocol& p) { p.handle_group_request(from("B"), "crew"); return true; },
       .writes = {{"group_requests", 1}}},
      // Made-up names do not grow the store.
      {.name = "a request for a group not held",
       .before = {.groups = {"other: x"}, .requests = {"crew: pending"}},
       .step = [](GroupProtocol& p) { p.handle_group_request(from("C"), "crew"); return true; },
       .logged = {"WARNING:Refused join request of group crew from " + id_of("C") +
                  ": no such group here"}},
      {.name = "an invitation accepted",
       .before = {.invitations = {"crew/B: pending", "crew/C: pending"}},
       .step = [](GroupProtocol& p) {
         p.handle_group_invitation_response(from("B"), "crew", true);
         return true;
       },
       .after = GroupState{.invitations = {"crew/B: accepted", "crew/C: pending"}},
       .writes = {{"group_invitations", 1}}},
  });
}

// What no invitation or owned group of this node asked for is dropped: it plants no entry, so
// that a device can neither grow the stores nor show the owner invitations it never sent.
TEST_F(GroupAdmission, AnswersAndRequestsNobodyAskedForChangeNoStore) {
  const auto answer_b = [](bool accepted) {
    return [accepted](GroupProtocol& p) {
      p.handle_group_invitation_response(from("B"), "crew", accepted);
      return true;
    };
  };
  const std::string no_invitation =
      "WARNING:Refused invitation answer of group crew from " + id_of("B") +
      ": no invitation of it was sent";
  struct Answer {
    const char* name;
    GroupState before;
    bool accepted;
  };
  const Answer answers[] = {
      {"to no invitation", {.groups = {"crew: GPU"}, .owned = {"crew"}}, true},
      {"to an invitation answered", {.invitations = {"crew/B: rejected"}}, true},
      {"to an invitation of another device", {.invitations = {"crew/C: pending"}}, false},
      {"to an invitation of another group", {.invitations = {"other/B: pending"}}, true},
      {"to this node's own invitation", {.invitations = {"crew: pending"}}, true},
  };
  std::vector<GroupCase> cases;
  for (const Answer& a : answers)
    cases.push_back({.name = a.name,
                     .before = a.before,
                     .step = answer_b(a.accepted),
                     .logged = {no_invitation}});
  // A joined group, whose owner is another device, takes no join requests here.
  cases.push_back({.name = "a request for a group joined",
                   .setup = [this] { owns("C"); joins("A", "crew", "C"); },
                   .before = {.groups = {"crew: GPU"}, .requests = {"crew: accepted"}},
                   .step = [](GroupProtocol& p) {
                     p.handle_group_request(from("B"), "crew");
                     return true;
                   },
                   .steps = {"A sync crew"},
                   .logged = {"WARNING:Refused join request of group crew from " + id_of("B") +
                              ": the group is not this node's own"}});
  run(cases);
}

// Invitations of one device that meet: the groups lock lets one through, and the others find the
// device invited.
TEST_F(GroupAdmission, InvitationsOfOneDeviceAtOnceInviteItOnce) {
  owns("A");
  const std::unique_ptr<GroupNode> a = make_node("A", "a");
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    const std::string device = "0d0d0d0d-0000-4000-8000-0000000000" + std::to_string(10 + round);
    std::atomic<int> invited = 0;
    const auto invite = [&] { invited += a->protocol().invite_user_to_group("crew", device); };
    run_together({invite, invite, invite});
    EXPECT_EQ(invited.load(), 1);
    EXPECT_EQ(backend_.queued(device), 1u);
  }
  EXPECT_EQ(a->writes(), (Writes{{"group_invitations", kRounds}}));
}

}  // namespace
}  // namespace velmora::model
