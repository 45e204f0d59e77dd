// The node's package dispatcher against the fake backend: what reaches a handler, what is
// dropped, and that nothing dropped or refused leaves its folder behind.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "job_road_fixture.hpp"
#include "testing/eventually.hpp"
#include "testing/file_tree.hpp"
#include "tests/networking/zip_maker.hpp"
#include "velmora/model/bounds.hpp"
#include "velmora/model/packages/subject_table.hpp"
#include "velmora/utils/http/http_status.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;
using networking::kDeviceId;
using networking::kPeerId;
using utils::Bytes;

class PackageDispatcher : public JobRoadFixture {
 protected:
  PackageDispatcher() { std::ofstream(folder_.path() / "note.txt") << "x"; }

  static inline const utils::Value kNoLabels = utils::Value::object();

  // A folder to attach: every package below carries one unless it says otherwise.
  const testing::ScopedFolder folder_;
};

TEST_F(PackageDispatcher, WithNothingWaitingAPassFetchesOnceAndStartsNoThread) {
  node_->handle_received_files();
  EXPECT_EQ(requests_to("/transfer/receivefilereq").size(), 1u);
  EXPECT_EQ(node_->handlers().threads(), 0u);
}

TEST_F(PackageDispatcher, SubjectsAreExactTextInTheOrderOfTheTable) {
  EXPECT_EQ(kSubjectTable.size(), 23u);
  EXPECT_EQ(find_subject("job_submission"), &kSubjectTable.front());
  EXPECT_EQ(find_subject("group_removal"), &kSubjectTable.back());
  EXPECT_EQ(find_subject("stop_landing")->word, "stop");
  EXPECT_EQ(find_subject("Job_Update"), nullptr);
  EXPECT_EQ(find_subject("job_update "), nullptr);
}

// A fetch that fails for another reason than "nothing waiting" ends the pass with its error; the
// package behind it waits for the next pass.
TEST_F(PackageDispatcher, AFailedFetchEndsThePassAndThePackagesBehindItWait) {
  send(*landing_node_, "friend_request");
  backend_.server().script("/transfer/receivefilereq", {.status = 500, .body = "down"});
  EXPECT_THROW(node_->handle_received_files(), utils::HTTPError);
  EXPECT_TRUE(node_->inbound_requests().snapshot().empty());
  pass();
  EXPECT_EQ(node_->inbound_requests().snapshot(), DeviceIds{utils::s2b(kPeerId)});
}

// Each package that cannot be handled is dropped alone, its folder with it; the pass goes on and
// hands the last one, a friend request, to its handler with the sender's id as bytes.
TEST_F(PackageDispatcher, PackagesThatCannotBeHandledAreDroppedAloneWithTheirFolders) {
  const fs::path attached = folder_.path();
  send(*landing_node_, "friend_request", {{"dest", kDeviceId}}, attached);
  send(*landing_node_, "Friend_Request", kNoLabels, attached);
  send(*landing_node_, "group_invitation", {{"group", 7}}, attached);
  send(*landing_node_, std::nullopt, kNoLabels, attached);
  send(*landing_node_, "job_update", {{"job_id", "j1"}}, attached);
  send(*landing_node_, "job_update", {{"job_id", 5}, {"status", "Running"}});
  send(*landing_node_, "friend_request", {{"origin", "\u0101"}}, attached);
  send(*landing_node_, "job_results", {{"job_id", "j1"}});
  send(*landing_node_, "stop_landing", {{"job_id", "j1"}}, attached);
  send(*landing_node_, "friend_request", kNoLabels, attached);

  pass();
  EXPECT_EQ(requests_to("/transfer/receivefilereq").size(), 11u);
  EXPECT_EQ(warnings(),
            (std::vector<std::string>{
                "Pkg received at wrong destination: Intended for " + kDeviceId +
                    ", received at " + kNodeId,
                "Case for file type 'Friend_Request' not implemented yet",
                "Dropping a package with a malformed label: no text 'group'",
                "Dropping a package with a malformed label: no text 'subject'",
                "Dropping a package with a malformed label: no text 'status'",
                "Dropping a package with a malformed label: no text 'job_id'",
                "Dropping a package with a malformed label: 'origin' is no device id",
                "Dropping a package with a malformed label: 'job_results' without its folder",
                "Refused control 'stop' for job j1 from " + kPeerId + ": no such landing",
            }));
  for (const auto& record : log_.records()) {
    if (record.message.starts_with("Pkg received")) {
      EXPECT_EQ(record.level, utils::log::kError);
    }
  }
  EXPECT_EQ(node_->inbound_requests().snapshot(), DeviceIds{utils::s2b(kPeerId)});
  EXPECT_TRUE(attachments_left().empty()) << attachments_left().front();
}

// The group rows: each handler gets the label "group", the sender's id and, for an answer, its
// word. The peer owns "crew" at the group service; the node owns "mine".
TEST_F(PackageDispatcher, GroupPackagesReachTheirHandlersWithTheSendersId) {
  landing_node_->group_function("create", "crew", {}, "GPU");
  // "mine" is the node's own, and it invited the peer to it.
  const std::pair<std::string, std::string> peer_in_mine{"mine", kPeerId};
  node_->groups().with([](Groups& groups) { groups.insert_or_assign("mine", {{"desc", "d"}}); });
  node_->owned_groups().with([](GroupNames& names) { names.insert("mine"); });
  node_->group_invitations().with(
      [&](GroupEntries& entries) { entries.insert_or_assign(peer_in_mine, "pending"); });
  send(*landing_node_, "group_invitation", {{"group", "crew"}});
  send(*landing_node_, "group_request_accept", {{"group", "crew"}});
  send(*landing_node_, "group_request", {{"group", "mine"}});
  send(*landing_node_, "group_invitation_reject", {{"group", "mine"}});

  pass();
  const auto status = [](Store<GroupEntries>& store, const GroupEntryKey& key) {
    return store.with([&](const GroupEntries& entries) {
      const auto found = entries.find(key);
      return found == entries.end() ? std::string("none") : found->second;
    });
  };
  EXPECT_EQ(status(node_->group_invitations(), "crew"), "pending");
  EXPECT_EQ(status(node_->group_invitations(), peer_in_mine), "rejected");
  EXPECT_EQ(status(node_->group_requests(), "crew"), "accepted");
  EXPECT_EQ(status(node_->group_requests(), peer_in_mine), "pending");
  EXPECT_TRUE(node_->groups().snapshot().contains("crew"));
  EXPECT_TRUE(warnings().empty()) << warnings().front();
}

// Packages past a bound, among ordinary ones: each is refused whole with a warning that names its
// sender as far as it can be read, nothing of it stays, what the node stores is untouched, and
// the pass goes on to hand the friend request behind them to its handler.
TEST_F(PackageDispatcher, PackagesPastABoundAreRefusedWithTheirSenderAndThePassGoesOn) {
  node_->declare_friend(utils::s2b(kDeviceId));
  const std::string label = utils::Value{{"origin", kPeerId},
                                         {"dest", kNodeId},
                                         {"subject", "job_submission"},
                                         {"sent_time", "1.0"},
                                         {"job_id", "j1"},
                                         {"job_name", "deep"}}
                                .dump();
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "d/";
  const fs::path made = folder_.path() / "made";
  fs::create_directory(made);
  networking::make_zip(made / "attachment.zip", {{deep + "Dockerfile", "FROM scratch\n"}});
  networking::make_zip(made / "deep.zip",
                       {{"label.json", label},
                        {"attachment.zip", testing::file_content(made / "attachment.zip")}});
  networking::make_zip(made / "label.zip", {{"label.json", label + std::string(70000, ' ')}});
  backend_.deliver(kNodeId, "deep.zip", made / "deep.zip");
  backend_.deliver(kNodeId, "label.zip", made / "label.zip");
  send(*landing_node_, "friend_request");

  pass();
  const std::vector<std::string> refused = warnings();
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_TRUE(refused[0].starts_with("Refused a package from " + kPeerId + ": the member d/d/"))
      << refused[0];
  EXPECT_EQ(refused[1],
            "Refused a package from an unknown sender: the package's label is larger than 65536 "
            "bytes");
  EXPECT_EQ(node_->inbound_requests().snapshot(), DeviceIds{utils::s2b(kPeerId)});
  EXPECT_EQ(node_->friends().snapshot(), DeviceIds{utils::s2b(kDeviceId)});
  EXPECT_TRUE(node_->landings().snapshot().empty());
  const std::vector<std::string> left = node_temp_names();
  EXPECT_TRUE(std::none_of(left.begin(), left.end(), [](const std::string& name) {
    return name.ends_with(".zip") || name.starts_with("velmora-attachment-") ||
           name.starts_with("velmora-recv-");
  })) << left.size();
}

// What a killed run left in the inbox is taken up at the next start, oldest first, before the
// first file query: a package is handled and removed, one that cannot be read is refused and
// removed; one taken a second time changes nothing.
TEST_F(PackageDispatcher, PackagesLeftInTheInboxAreTakenBeforeTheFirstFileQuery) {
  const fs::path inbox = work_ / kInboxFolderName;
  const fs::path made = folder_.path() / "made";
  fs::create_directory(made);
  networking::make_zip(made / "request.zip",
                       {{"label.json", utils::Value{{"origin", kPeerId},
                                                    {"dest", kNodeId},
                                                    {"subject", "friend_request"},
                                                    {"sent_time", "1.0"}}
                                           .dump()}});
  node_.reset();
  fs::copy_file(made / "request.zip", inbox / "request.zip");
  std::ofstream(inbox / "junk.zip") << "no zip";
  for (int start = 0; start < 2; ++start) {
    if (start == 1) {
      node_.reset();
      fs::copy_file(made / "request.zip", inbox / "request.zip");  // as if killed before removal
    }
    node_ = make_node();
    backend_.server().script("/transfer/receivefilereq", {.status = 500, .body = "down"});
    EXPECT_THROW(node_->handle_received_files(), utils::HTTPError);  // after the inbox
    ASSERT_TRUE(node_->wait_for_handlers(std::chrono::seconds(120)));
    EXPECT_EQ(node_->inbound_requests().snapshot(), DeviceIds{utils::s2b(kPeerId)});
    EXPECT_TRUE(fs::is_empty(inbox));
  }
  const std::vector<std::string> found = warnings();
  EXPECT_EQ(std::count_if(found.begin(), found.end(),
                          [](const std::string& warning) {
                            return warning.starts_with("Refused a package from an unknown sender") &&
                                   warning.ends_with("Not a zip archive");
                          }),
            1);
}

// The threads of this process, as the kernel counts them.
std::size_t process_threads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("Threads:")) return std::stoul(line.substr(8));
  return 0;
}

// A flood of packages: never more than kHandlerThreads are handled at once, and those past them
// stay at the backend until handlers are free. Here every handler waits, on the friends lock,
// behind the first, whose answer (a friend request from a friend is accepted) the backend holds.
TEST_F(PackageDispatcher, AFloodOfPackagesWaitsAtTheBackendBeyondTheBoundedHandlers) {
  node_->friends().with([](DeviceIds& friends) { friends.insert(utils::s2b(kPeerId)); });
  node_->friends().dump();
  constexpr std::size_t kFlood = 100;
  for (std::size_t n = 0; n < kFlood; ++n) send(*landing_node_, "friend_request");
  backend_.server().hold("/transfer/sendfilereq");
  const std::size_t threads_before = process_threads();

  node_->handle_received_files();
  EXPECT_EQ(node_->handlers().running(), kHandlerThreads);
  EXPECT_EQ(node_->handlers().threads(), kHandlerThreads);
  EXPECT_LE(process_threads(), threads_before + kHandlerThreads);
  EXPECT_EQ(backend_.queued(kNodeId), kFlood - kHandlerThreads);
  node_->handle_received_files();  // no room: nothing is taken
  EXPECT_EQ(backend_.queued(kNodeId), kFlood - kHandlerThreads);

  backend_.server().release("/transfer/sendfilereq");
  ASSERT_TRUE(node_->wait_for_handlers(testing::kUnderLoad));
  pass();
  EXPECT_EQ(backend_.queued(kNodeId), 0u);
  EXPECT_EQ(drain(*landing_node_), std::vector<std::string>(kFlood, "friend_accept"));
  EXPECT_LE(node_->handlers().threads(), kHandlerThreads);
}

// The first handler fails (its "Received" report is refused): logged, and the next package is
// handled all the same. The submission's folder goes with the failure.
TEST_F(PackageDispatcher, AHandlerThatFailsEndsOnlyItsOwnThread) {
  send(*launch_node_, "job_submission", {{"job_id", "j1"}, {"job_name", "sim"}}, folder_.path());
  send(*landing_node_, "friend_request");
  backend_.server().script("/transfer/sendfilereq",
                           testing::FakeBackend::backend_answer(
                               {{"valid", false}, {"code", 5}, {"msg", "refused"}}));

  pass();
  const auto records = log_.records();
  const auto failure = std::find_if(records.begin(), records.end(), [](const auto& record) {
    return record.message.starts_with("Handler of");
  });
  ASSERT_NE(failure, records.end());
  EXPECT_EQ(failure->message, "Handler of 'job_submission' from " + kDeviceId + " failed");
  EXPECT_EQ(failure->level, utils::log::kError);
  EXPECT_EQ(node_->inbound_requests().snapshot(), DeviceIds{utils::s2b(kPeerId)});
  EXPECT_TRUE(node_->landings().snapshot().empty());
  EXPECT_TRUE(attachments_left().empty());
}

}  // namespace
}  // namespace velmora::model
