// The node control endpoints through HTTPS against the real server, with the logged-in node on
// the fake backend: the update threads started, paused, unpaused and killed, with the status
// each reports, and the wipe of the user data.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>

#include "logged_in_api.hpp"
#include "testing/eventually.hpp"
#include "velmora/utils/bytes.hpp"

namespace velmora::daemon {
namespace {

using State = model::UpdateThreads::State;
using testing::eventually;
using Reports = std::vector<std::string>;

class NodeControlEndpoints : public LoggedInApi {
 protected:
  State threads() { return node().update_threads().state(); }
  bool logged(const std::string& message) const {
    const std::vector<std::string> messages = model_log();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }
};

TEST_F(NodeControlEndpoints, DriveTheUpdateThreadsAndReportTheDevicesStatus) {
  EXPECT_EQ(call("/startThreads", "ignored")->body, kSuccess);
  EXPECT_EQ(threads(), State::running);
  EXPECT_EQ(call("/pauseThreads")->body, kSuccess);
  EXPECT_EQ(threads(), State::paused);
  EXPECT_EQ(call("/unpauseThreads")->body, kSuccess);
  EXPECT_EQ(threads(), State::running);
  EXPECT_EQ(status_reports(), (Reports{"ONLINE", "OFFLINE", "ONLINE"}));

  // A second start starts nothing and reports nothing.
  EXPECT_EQ(call("/startThreads")->body, kSuccess);
  EXPECT_TRUE(logged("Redundant thread start"));
  EXPECT_EQ(status_reports().size(), 3u);
}

// "/killThreads" holds its answer until every poll has ended: here the device-list poll waits
// inside a request that the backend holds; once killed, the polls never start again.
TEST_F(NodeControlEndpoints, KillAnswersOnceEveryPollHasEndedAndNoStartRevivesThem) {
  backend_.server().hold("/list/users");
  answer("/startThreads");
  ASSERT_TRUE(eventually([&] { return backend_.server().calls("/list/users") > 0; }));

  std::future<httplib::Result> killed = std::async(std::launch::async, [&] {
    return client()->Post("/killThreads", bearer(access_token()), "", "application/json");
  });
  ASSERT_TRUE(eventually([&] { return logged("killing threads"); }));
  EXPECT_EQ(killed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  backend_.server().release("/list/users");
  const httplib::Result answer = killed.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, kSuccess);
  EXPECT_EQ(threads(), State::killed);
  EXPECT_EQ(status_reports(), (Reports{"ONLINE", "OFFLINE"}));

  const int listed = backend_.server().calls("/list/users");
  EXPECT_EQ(call("/startThreads")->body, kSuccess);
  EXPECT_EQ(threads(), State::killed);
  EXPECT_EQ(call("/unpauseThreads")->body, kSuccess);
  EXPECT_EQ(threads(), State::killed);
  EXPECT_EQ(backend_.server().calls("/list/users"), listed);
}

TEST_F(NodeControlEndpoints, RefreshUserDataEmptiesEveryStoreAndKeepsTheDevice) {
  const std::string device_id = call("/getMyUUID")->body;
  node().friends().with([](model::DeviceIds& friends) { friends.insert(utils::s2b("friend")); });
  node().friends().dump();
  node().group_removals().with([](model::GroupNames& names) { names.insert("chess"); });
  node().group_removals().dump();
  const testing::ScopedFolder job = job_folder("");
  answer("/sendDockerizedApp",
         utils::Value{{"dir", job.path().string()}, {"uuid", networking::kPeerId}}.dump());
  std::filesystem::create_directories("results/old_job");

  EXPECT_EQ(call("/refreshUserData")->body, kSuccess);
  EXPECT_TRUE(node().friends().snapshot().empty());
  EXPECT_TRUE(node().group_removals().snapshot().empty());
  EXPECT_EQ(answer("/getMyJobHistory").at("job_dict"), utils::Value::array());
  EXPECT_TRUE(std::filesystem::is_empty("results"));
  for (const std::string& store : model::kStoreFiles) EXPECT_TRUE(exists(store)) << store;
  EXPECT_EQ(call("/getMyUUID")->body, device_id);
  EXPECT_EQ(status_reports(), (Reports{"OFFLINE", "ONLINE"}));
}

TEST_F(NodeControlEndpoints, RefreshUserDataStopsAtAStoreFileGoneAndLeavesTheThreadsPaused) {
  answer("/startThreads");
  std::filesystem::remove("launches.bin");
  EXPECT_EQ(failure("/refreshUserData"), "[Errno 2] No such file or directory: 'launches.bin'");
  EXPECT_EQ(threads(), State::paused);
  EXPECT_EQ(status_reports(), (Reports{"ONLINE", "OFFLINE"}));
  EXPECT_EQ(call("/unpauseThreads")->body, kSuccess);
  EXPECT_EQ(threads(), State::running);
}

}  // namespace
}  // namespace velmora::daemon
