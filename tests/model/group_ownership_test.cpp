// The owner making and unmaking groups and memberships, on A's node.
#include <gtest/gtest.h>

#include "group_fixture.hpp"

namespace velmora::model {
namespace {

class GroupOwnership : public GroupFixture {};

TEST_F(GroupOwnership, CreatingRecordsTheGroupOnceTheServiceHasIt) {
  run({
      {.name = "a new group",
       .step = [](GroupProtocol& p) { return p.create_group("crew", "GPU"); },
       .after = GroupState{.groups = {"crew: GPU"}, .owned = {"crew"}},
       .writes = {{"groups", 1}, {"owned_groups", 1}},
       .steps = {"A create crew"},
       .logged = {"INFO:Group list appended"}},
      {.name = "a name recorded already",
       .before = {.groups = {"crew: old", "other: x"}, .owned = {"other"}},
       .step = [](GroupProtocol& p) { return p.create_group("crew", "GPU"); },
       .after = GroupState{.groups = {"crew: GPU", "other: x"}, .owned = {"crew", "other"}},
       .writes = {{"groups", 1}, {"owned_groups", 1}},
       .steps = {"A create crew"},
       .logged = {"INFO:Group list appended"}},
      {.name = "a name the service refuses",
       .setup = [this] { owns("B"); },
       .step = [](GroupProtocol& p) { return p.create_group("crew", "GPU"); },
       .error = "Code 7: Group exists",
       .steps = {"A create crew refused"}},
  });
}

// Only the destroyed group's owner-side entries go, the invitations first, each written back
// before its device is told; the member-side entries of that name stay.
TEST_F(GroupOwnership, DestroyingTellsEveryDeviceWithAnOwnerSideEntryThenTheService) {
  run({
      {.name = "a group without entries",
       .setup = [this] { owns("A"); },
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew: pending"}, .owned = {"crew"}},
       .step = [](GroupProtocol& p) { return p.destroy_group("crew"); },
       .after = GroupState{.invitations = {"crew: pending"}},
       .writes = {{"groups", 1}, {"owned_groups", 1}},
       .steps = {"A destroy crew"}},
      {.name = "entries of several groups",
       .setup = [this] { owns("A"); },
       .before = {.groups = {"crew: GPU", "other: x"},
                  .invitations = {"crew/B: pending", "other/B: accepted", "crew/C: rejected",
                                  "crew: pending"},
                  .requests = {"other/C: pending", "crew/C: pending", "crew: accepted"}},
       .step = [](GroupProtocol& p) { return p.destroy_group("crew"); },
       .after = GroupState{.groups = {"other: x"},
                           .invitations = {"other/B: accepted", "crew: pending"},
                           .requests = {"other/C: pending", "crew: accepted"}},
       .writes = {{"group_invitations", 2}, {"group_requests", 1}, {"groups", 1}},
       .steps = {"A -> B group_destruction crew", "A -> C group_destruction crew",
                 "A -> C group_destruction crew", "A destroy crew"}},
      {.name = "a group not held",
       .setup = [this] { owns("A"); },
       .before = {.invitations = {"crew/B: pending"}, .owned = {"crew"}},
       .step = [](GroupProtocol& p) { return p.destroy_group("crew"); },
       .error = "'crew'",
       .after = GroupState{},
       .writes = {{"group_invitations", 1}, {"owned_groups", 1}},
       .steps = {"A -> B group_destruction crew", "A destroy crew"}},
      {.name = "a destruction the service refuses",
       .setup = [this] { backend_.refuse_group_call("destroy"); },
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew/B: pending"}},
       .step = [](GroupProtocol& p) { return p.destroy_group("crew"); },
       .error = "Code 11: Refused",
       .after = GroupState{.groups = {"crew: GPU"}},
       .writes = {{"group_invitations", 1}},
       .steps = {"A -> B group_destruction crew", "A destroy crew refused"}},
      {.name = "a notice that fails",
       .setup = [this] { refuse_next_send(); },
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew/B: pending", "crew/C: pending"}},
       .step = [](GroupProtocol& p) { return p.destroy_group("crew"); },
       .error = "Code 5: refused",
       .after = GroupState{.groups = {"crew: GPU"}, .invitations = {"crew/C: pending"}},
       .writes = {{"group_invitations", 1}}},
  });
}

TEST_F(GroupOwnership, RemovingAMemberTellsItAndDropsItsOwnerSideEntries) {
  const auto remove_b = [](GroupProtocol& p) { return p.remove_group_member("crew", id_of("B")); };
  run({
      {.name = "a member with entries",
       .setup = [this] { owns("A"); joins("B"); },
       .before = {.groups = {"crew: GPU"},
                  .invitations = {"crew/B: accepted", "crew/C: pending", "crew: pending"},
                  .requests = {"crew/B: pending"}},
       .step = remove_b,
       .after = GroupState{.groups = {"crew: GPU"},
                           .invitations = {"crew/C: pending", "crew: pending"}},
       .writes = {{"group_invitations", 1}, {"group_requests", 1}},
       .steps = {"A sync crew", "A remove crew [B]", "A -> B group_removal crew"}},
      {.name = "a member without entries",
       .setup = [this] { owns("A"); joins("B"); },
       .before = {.groups = {"crew: GPU"}},
       .step = remove_b,
       .steps = {"A sync crew", "A remove crew [B]", "A -> B group_removal crew"}},
      {.name = "a device that is no member",
       .setup = [this] { owns("A"); },
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew/B: pending"}},
       .step = remove_b,
       .answer = false,
       .steps = {"A sync crew"}},
      {.name = "a removal the service refuses",
       .setup = [this] { owns("A"); joins("B"); backend_.refuse_group_call("remove"); },
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew/B: accepted"}},
       .step = remove_b,
       .error = "Code 11: Refused",
       .steps = {"A sync crew", "A remove crew [B] refused"}},
      {.name = "a notice that fails",
       .setup = [this] { owns("A"); joins("B"); refuse_next_send(); },
       .before = {.groups = {"crew: GPU"}, .invitations = {"crew/B: accepted"}},
       .step = remove_b,
       .error = "Code 5: refused",
       .steps = {"A sync crew", "A remove crew [B]"}},
  });
}

}  // namespace
}  // namespace velmora::model
