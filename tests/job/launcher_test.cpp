// The launch: what it sends to the landing node, and the words it records once a package has gone.
#include <gtest/gtest.h>

#include <fstream>

#include "job_fixture.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::job {
namespace {

class LauncherTest : public JobFixture {
 protected:
  LauncherTest() {
    std::filesystem::create_directory(job_);
    std::ofstream(job_ / "Dockerfile") << "FROM scratch\n";
  }

  const std::filesystem::path job_ = folder_.path() / "sim.new";
};

TEST_F(LauncherTest, SendsTheFolderWithItsIdAndNameThenRecordsSent) {
  const auto launch = make_launcher(job_);
  EXPECT_EQ(launch->name(), "sim");
  EXPECT_EQ(launch->to_dict()["results_path"], "None");
  launch->send();
  EXPECT_EQ(statuses(*launch), (std::vector<std::string>{"New", "Sent"}));

  const auto packages = packages_for(*landing_node_);
  ASSERT_EQ(packages.size(), 1u);
  const utils::Value& label = packages[0].label;
  EXPECT_EQ(label["origin"], kDeviceId);
  EXPECT_EQ(label["subject"], "job_submission");
  EXPECT_EQ(label["job_id"], launch->id());
  EXPECT_EQ(label["job_name"], "sim");
  ASSERT_TRUE(packages[0].attachment);
  std::ifstream dockerfile(*packages[0].attachment / "Dockerfile");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(dockerfile), {}), "FROM scratch\n");
}

TEST_F(LauncherTest, EachControlSendsItsPackageThenRecordsTheLaunchsWord) {
  const auto launch = make_launcher(job_);
  launch->stop();
  launch->stop();
  launch->start();
  launch->pause();
  launch->unpause();
  EXPECT_EQ(statuses(*launch), (std::vector<std::string>{"New", "Stopping", "Stopping", "Starting",
                                                          "Pausing", "Unpausing"}));
  const auto packages = packages_for(*landing_node_);
  EXPECT_EQ(summaries(packages),
            (std::vector<std::string>{"stop_landing", "stop_landing", "start_landing",
                                      "pause_landing", "unpause_landing"}));
  for (const auto& package : packages) {
    EXPECT_EQ(package.label["job_id"], launch->id());
    EXPECT_FALSE(package.label.contains("job_name"));
    EXPECT_TRUE(package.attachment);
  }
}

TEST_F(LauncherTest, AFailedSendRecordsNothing) {
  const auto launch = make_launcher(folder_.path() / "gone");
  EXPECT_THROW(launch->send(), utils::OSError);
  EXPECT_THROW(launch->stop(), utils::OSError);

  const auto refused = make_launcher(job_);
  backend_.server().script("/transfer/sendfilereq",
                           testing::FakeBackend::backend_answer(
                               {{"valid", false}, {"code", 5}, {"msg", "refused"}}));
  EXPECT_THROW(refused->send(), networking::ValidityError);

  EXPECT_EQ(statuses(*launch), std::vector<std::string>{"New"});
  EXPECT_EQ(statuses(*refused), std::vector<std::string>{"New"});
  EXPECT_TRUE(packages_for(*landing_node_).empty());
}

}  // namespace
}  // namespace velmora::job
