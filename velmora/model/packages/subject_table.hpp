#pragma once
// The subjects of the packages between nodes, in the order in which the dispatcher tests them,
// with the handler each reaches. Subjects are compared as exact text.

#include <algorithm>
#include <array>
#include <string_view>

#include "velmora/job/subjects.hpp"
#include "velmora/model/friends/friend_subjects.hpp"
#include "velmora/model/groups/group_subjects.hpp"

namespace velmora::model {

// The handler of a subject, and what it is given besides the sender's device id.
enum class Handling {
  job_submission,   // handle_job_submission: "job_id", "job_name", the attachment folder
  job_update,       // handle_job_update: "job_id", "status"; one job's updates in arrival order
  job_results,      // handle_job_results: "job_id", the attachment folder
  control_launch,   // handle_control_launch: "job_id", the row's word
  control_landing,  // handle_control_landing: "job_id", the row's word
  friend_request,   // the four friend handlers: nothing more
  friend_accept,
  friend_reject,
  friend_remove,
  group_destruction,          // the group handlers: "group"
  group_invitation,
  group_invitation_response,  // handle_group_invitation_response: "group", the row's word
  group_request,
  group_request_response,     // handle_group_request_response: "group", the row's word
  group_removal,
};

struct SubjectRow {
  std::string_view subject;
  Handling handling;
  // The control word of a control row, the answer word ("accept" or "reject") of an answer row;
  // empty otherwise.
  std::string_view word;
};

inline constexpr std::array<SubjectRow, 23> kSubjectTable{{
    {job::subject::kJobSubmission, Handling::job_submission, ""},
    {job::subject::kJobUpdate, Handling::job_update, ""},
    {job::subject::kJobResults, Handling::job_results, ""},
    // Sent by no operation of the system; handled all the same.
    {"stop_launch", Handling::control_launch, "stop"},
    {"start_launch", Handling::control_launch, "start"},
    {"pause_launch", Handling::control_launch, "pause"},
    {"unpause_launch", Handling::control_launch, "unpause"},
    {job::subject::kStopLanding, Handling::control_landing, "stop"},
    {job::subject::kStartLanding, Handling::control_landing, "start"},
    {job::subject::kPauseLanding, Handling::control_landing, "pause"},
    {job::subject::kUnpauseLanding, Handling::control_landing, "unpause"},
    {subject::kFriendRequest, Handling::friend_request, ""},
    {subject::kFriendAccept, Handling::friend_accept, ""},
    {subject::kFriendReject, Handling::friend_reject, ""},
    {subject::kFriendRemove, Handling::friend_remove, ""},
    {subject::kGroupDestruction, Handling::group_destruction, ""},
    {subject::kGroupInvitation, Handling::group_invitation, ""},
    {subject::kGroupInvitationAccept, Handling::group_invitation_response, "accept"},
    {subject::kGroupInvitationReject, Handling::group_invitation_response, "reject"},
    {subject::kGroupRequest, Handling::group_request, ""},
    {subject::kGroupRequestAccept, Handling::group_request_response, "accept"},
    {subject::kGroupRequestReject, Handling::group_request_response, "reject"},
    {subject::kGroupRemoval, Handling::group_removal, ""},
}};

// The first row of subject, or null when none has it.
constexpr const SubjectRow* find_subject(std::string_view subject) {
  const auto row = std::find_if(kSubjectTable.begin(), kSubjectTable.end(),
                                [&](const SubjectRow& each) { return each.subject == subject; });
  return row == kSubjectTable.end() ? nullptr : &*row;
}

// Whether the handler of a row is given the package's attachment folder, which it then owns.
constexpr bool takes_attachment(Handling handling) {
  return handling == Handling::job_submission || handling == Handling::job_results;
}

}  // namespace velmora::model
