// The landing record: what it reports to the owner, its engine lookups, and the four controls
// acting on a real container.
#include <gtest/gtest.h>

#include "job_fixture.hpp"
#include "testing/environment_setting.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::job {
namespace {

using Strings = std::vector<std::string>;

TEST_F(JobFixture, ALandingReportsReceivedOnlyWhenAsked) {
  const auto landing = make_lander(folder_.path(), "job-1");
  const auto quiet = make_lander(folder_.path(), "job-2", false);
  EXPECT_EQ(statuses(*landing), (Strings{"New", "Received"}));
  EXPECT_EQ(statuses(*quiet), Strings{"New"});

  landing->update_status("Running");
  landing->update_status("Running");
  EXPECT_EQ(statuses(*landing), (Strings{"New", "Received", "Running", "Running"}));
  const auto packages = packages_for(*launch_node_);
  EXPECT_EQ(summaries(packages),
            (Strings{"job_update Received", "job_update Running", "job_update Running"}));
  for (const auto& package : packages) {
    EXPECT_EQ(package.label["origin"], kPeerId);
    EXPECT_EQ(package.label["dest"], kDeviceId);
    EXPECT_EQ(package.label["job_id"], "job-1");
    EXPECT_FALSE(package.attachment);
  }
}

TEST_F(JobFixture, WithoutAContainerNothingAsksTheEngineAndEveryStepFailsClearly) {
  const testing::EnvironmentSetting no_engine("DOCKER_HOST", "unix:///nonexistent/docker.sock");
  const auto landing = make_lander(folder_.path(), "job-1", false);
  EXPECT_FALSE(landing->cntr());
  EXPECT_FALSE(landing->img());

  const std::pair<std::function<void()>, std::string> steps[] = {
      {[&] { landing->stop(); }, "Could not stop; container not built for job job-1"},
      {[&] { landing->start(); }, "Could not start; container not built for job job-1"},
      {[&] { landing->pause(); }, "Could not pause; container not built for job job-1"},
      {[&] { landing->unpause(); }, "Could not unpause; container not built for job job-1"},
      {[&] { landing->send_results(); },
       "Could not send results; container not built for job job-1"},
  };
  for (const auto& [step, message] : steps) {
    try {
      step();
      ADD_FAILURE() << "no error: " << message;
    } catch (const utils::RuntimeError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
  EXPECT_EQ(statuses(*landing), Strings{"New"});
  EXPECT_TRUE(packages_for(*launch_node_).empty());
  for (const std::string& name : temp_names()) EXPECT_FALSE(name.starts_with("velmora-results-"));
}

TEST_F(JobFixture, TheControlsActOnTheContainerThenReport) {
  const auto job = job_folder(kLongJob);
  const auto landing = make_lander(job.path());
  landing->run();
  const std::string id = *landing->cntr_id();
  EXPECT_EQ(engine_state(id), "running");

  landing->pause();
  EXPECT_EQ(engine_state(id), "paused");
  landing->unpause();
  EXPECT_EQ(engine_state(id), "running");
  landing->stop();
  EXPECT_EQ(engine_state(id), "exited");
  EXPECT_EQ(landing->status(), "Stopping");
  landing->start();
  EXPECT_EQ(engine_state(id), "running");
  landing->stop();

  landing->send_results();  // stopped: the results report "Stopped"
  EXPECT_FALSE(engine_has(id));
  EXPECT_EQ(summaries(packages_for(*launch_node_)),
            (Strings{"job_update Received", "job_update Building Image",
                     "job_update Building Container", "job_update Running", "job_update Paused",
                     "job_update Unpaused", "job_update Stopping", "job_update Started",
                     "job_update Stopping", "job_results", "job_update Stopped"}));
}

TEST_F(JobFixture, AControlTheEngineRefusesRecordsNothing) {
  const auto job = job_folder(kLongJob);
  const auto landing = make_lander(job.path());
  landing->run();
  EXPECT_THROW(landing->unpause(), boxwright::engine::EngineError);  // it is not paused
  engine_.remove_container(*landing->cntr_id(), {.force = true});
  EXPECT_THROW(landing->stop(), boxwright::engine::NotFoundError);
  EXPECT_EQ(landing->status(), "Running");
}

}  // namespace
}  // namespace velmora::job
