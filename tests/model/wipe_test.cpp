// Wiping the user data and clearing the job histories.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>

#include "node_fixture.hpp"
#include "testing/eventually.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

using State = UpdateThreads::State;

class Wipe : public NodeFixture {
 protected:
  Wipe() {
    lay_down_node_identity();
    node_ = make_node();
  }

  // Something in every store and in the results folder.
  void fill_user_data() {
    const utils::Bytes peer(std::string_view(networking::kPeerId));
    node_->groups().with([](Groups& groups) { groups.insert_or_assign("crew", {{"desc", "d"}}); });
    node_->groups().dump();
    node_->launches().with([](job::Launches& launches) {
      launches.insert_or_assign("job-1", std::make_shared<job::Launcher>(
                                             "sim", "sim", kNodeId, networking::kPeerId, nullptr));
    });
    node_->launches().dump();
    for (Store<DeviceIds>* store : friend_stores()) {
      store->with([&](DeviceIds& ids) { ids.insert(peer); });
      store->dump();
    }
    node_->group_requests().with([](GroupEntries& entries) {
      entries.insert_or_assign(std::pair<std::string, std::string>{"crew", networking::kPeerId},
                               "pending");
    });
    node_->group_requests().dump();
    std::filesystem::create_directories(work_ / "results" / "sim_1" / "filesys");
    std::ofstream(work_ / "results" / "sim_1" / "output.log") << "hello\n";
  }

  std::vector<Store<DeviceIds>*> friend_stores() {
    return {&node_->friends(),           &node_->inbound_requests(),
            &node_->pending_requests(),  &node_->accepted_requests(),
            &node_->rejected_requests(), &node_->friend_removals()};
  }

  std::unique_ptr<Velmora> node_;
};

TEST_F(Wipe, RefreshEmptiesEveryStoreAndKeepsKeysIdAndStoreObjects) {
  fill_user_data();
  const auto old_device = node_->device();
  const auto public_key = node_->pub_key()->export_();
  Store<DeviceIds>* const friends = &node_->friends();
  const std::size_t lines_before = model_log().size();

  node_->refresh_user_data();

  const auto log = model_log();
  EXPECT_EQ(std::vector<std::string>(log.begin() + lines_before, log.end()),
            (std::vector<std::string>{"pausing threads", "Importing keypair from file system",
                                      "Creating results folder at results", "unpausing threads"}));
  EXPECT_EQ(status_reports(), (std::vector<std::string>{"OFFLINE", "ONLINE"}));
  EXPECT_EQ(node_->update_threads().state(), State::made);

  EXPECT_EQ(&node_->friends(), friends);
  for (Store<DeviceIds>* store : friend_stores()) EXPECT_TRUE(store->snapshot().empty());
  EXPECT_TRUE(node_->groups().snapshot().empty());
  EXPECT_TRUE(node_->launches().snapshot().empty());
  EXPECT_TRUE(node_->group_requests().snapshot().empty());
  for (const std::string& file : kStoreFiles) EXPECT_TRUE(exists(file)) << file;
  EXPECT_TRUE(std::filesystem::is_empty(work_ / "results"));

  EXPECT_EQ(node_->machine_id().snapshot(), utils::Bytes(std::string_view(kNodeId)));
  EXPECT_EQ(node_->pub_key()->export_(), public_key);
  EXPECT_NE(node_->device(), old_device);
  EXPECT_EQ(node_->device()->uuid(), old_device->uuid());
  EXPECT_EQ(node_->network()->local_device(), old_device);
}

// A store file removed by hand ends the wipe there: the files before it in the order are gone,
// the later ones and the results folder are there, the stores hold what they held, and the
// threads stay paused.
TEST_F(Wipe, RefreshStopsAtAStoreFileRemovedByHandWithThePollsPaused) {
  fill_user_data();
  std::filesystem::remove(work_ / "pending_requests.bin");
  EXPECT_EQ(os_error_number([&] { node_->refresh_user_data(); }), ENOENT);
  EXPECT_EQ(node_->update_threads().state(), State::paused);
  EXPECT_EQ(status_reports(), std::vector<std::string>{"OFFLINE"});
  for (const char* gone : {"groups.bin", "friends.bin", "landings.bin", "launches.bin",
                           "inbound_requests.bin"})
    EXPECT_FALSE(exists(gone)) << gone;
  for (const char* kept : {"accepted_requests.bin", "rejected_requests.bin",
                           "friend_removals.bin", "group_invitations.bin", "group_requests.bin",
                           "group_removals.bin", "owned_groups.bin", "mid.bin",
                           "results/sim_1/output.log"})
    EXPECT_TRUE(exists(kept)) << kept;
  EXPECT_EQ(node_->friends().snapshot().size(), 1u);

  // The next write of a store brings its file back with what it held.
  node_->friends().dump();
  EXPECT_TRUE(exists("friends.bin"));
  node_->unpause_threads();
  EXPECT_EQ(node_->update_threads().state(), State::made);
}

// A friend or group step under way when the wipe begins ends first, so what it writes is wiped
// too.
TEST_F(Wipe, RefreshWaitsForAFriendOrGroupStepUnderWay) {
  const struct {
    const char* held;  // the path at which the step waits
    std::function<void()> step;
    std::function<bool()> wiped;
  } steps[]{
      {"/transfer/sendfilereq",
       [&] { node_->send_friend_request(utils::s2b(networking::kPeerId)); },
       [&] { return node_->pending_requests().snapshot().empty(); }},
      {"/group/function", [&] { node_->create_group("crew", "GPU"); },
       [&] { return node_->groups().snapshot().empty(); }},
  };
  for (const auto& [held, step, wiped] : steps) {
    SCOPED_TRACE(held);
    const std::size_t lines_before = model_log().size();
    backend_.server().hold(held);
    std::thread stepping(step);
    EXPECT_TRUE(testing::eventually([&] { return backend_.server().calls(held) == 1; }));
    std::thread wipe([&] { node_->refresh_user_data(); });
    const auto wipe_began = [&] {
      const auto log = model_log();
      return std::find(log.begin() + lines_before, log.end(), "pausing threads") != log.end();
    };
    EXPECT_TRUE(testing::eventually(wipe_began));
    backend_.server().release(held);
    stepping.join();
    wipe.join();
    EXPECT_TRUE(wiped());
    EXPECT_EQ(node_->update_threads().state(), State::made);
  }
}

TEST_F(Wipe, RefreshRefusesAResultsFolderThatIsNoFolder) {
  std::filesystem::remove(work_ / "results");
  std::ofstream(work_ / "results") << "a file";
  EXPECT_EQ(os_error_number([&] { node_->refresh_user_data(); }), ENOTDIR);
  EXPECT_TRUE(exists("results"));
  EXPECT_FALSE(exists("group_removals.bin"));
  EXPECT_EQ(node_->update_threads().state(), State::paused);
}

TEST_F(Wipe, ClearingAHistoryEmptiesItsStoreOnlyAndWritesIt) {
  fill_user_data();
  node_->clear_launch_history();
  EXPECT_TRUE(node_->launches().snapshot().empty());
  EXPECT_EQ(node_->friends().snapshot().size(), 1u);

  // An empty history is written back all the same.
  std::filesystem::remove(work_ / "landings.bin");
  node_->clear_landing_history();
  EXPECT_TRUE(exists("landings.bin"));

  node_.reset();
  const auto reread = make_node();
  EXPECT_TRUE(reread->launches().snapshot().empty());
  EXPECT_EQ(reread->friends().snapshot().size(), 1u);
}

}  // namespace
}  // namespace velmora::model
