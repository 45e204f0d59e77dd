// A landing's way through the real engine: build, run and the return of its results, with what
// each step reports to the owner and what each failure leaves behind.
#include <gtest/gtest.h>

#include <fstream>

#include "job_fixture.hpp"
#include "testing/eventually.hpp"
#include "testing/job_folder.hpp"
#include "velmora/boxwright/docker_error.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/job/container_labels.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::job {
namespace {

using Strings = std::vector<std::string>;

// Nothing listens on port 9 of the loopback, so this base image fails at once.
constexpr std::string_view kUnservedBase = "FROM 127.0.0.1:9/velmora-missing:none\n";

template <class Error>
bool is_a(const std::exception& e) {
  return dynamic_cast<const Error*>(&e) != nullptr;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class LandingExecution : public JobFixture {
 protected:
  // Waits until the landing's container has exited.
  void await_exit(const Lander& landing) {
    ASSERT_TRUE(testing::eventually([&] { return engine_state(*landing.cntr_id()) == "exited"; }));
  }
  // Whether a results folder of send_results is left in the temporary directory.
  bool results_folder_left() const {
    const Strings names = temp_names();
    return std::any_of(names.begin(), names.end(), [](const std::string& name) {
      return name.starts_with("velmora-results-");
    });
  }
  // The next answers of the backend's upload request: one accepted (to a storage name that no
  // completion will match, so that package is lost), then one refused.
  void refuse_second_upload() {
    const std::string lost = backend_.url() + "/storage/lost";
    script_upload_answer("/transfer/sendfilereq", {{"valid", true}, {"code", 0}, {"msg", lost}});
    script_upload_answer("/transfer/sendfilecom", {{"valid", true}, {"code", 0}, {"msg", "OK"}});
    refuse_next_upload();
  }
  void refuse_next_upload() {
    script_upload_answer("/transfer/sendfilereq", {{"valid", false}, {"code", 5}, {"msg", "no"}});
  }
  void script_upload_answer(const std::string& path, const utils::Value& answer) {
    backend_.server().script(path, testing::FakeBackend::backend_answer(answer));
  }
};

TEST_F(LandingExecution, AJobRunsToItsEndAndItsResultsGoBack) {
  const auto job = job_folder(kQuickJob);
  const auto landing = make_lander(job.path(), Job::_make_id());
  landing->run();
  const std::string cntr_id = *landing->cntr_id();
  EXPECT_EQ(engine_.inspect_image(*landing->img_id())["RepoTags"][0], "testjob:" + landing->id());
  // The container says whose it is: the landing node's, for this job.
  const utils::Value labels = engine_.inspect_container(cntr_id)["Config"]["Labels"];
  EXPECT_EQ(labels.value(std::string(kNodeLabel), ""), kPeerId);
  EXPECT_EQ(labels.value(std::string(kJobLabel), ""), landing->id());
  await_exit(*landing);

  landing->send_results();
  EXPECT_EQ(statuses(*landing).back(), "Complete");
  EXPECT_FALSE(engine_has(cntr_id));
  EXPECT_EQ(landing->cntr_id(), cntr_id);  // ids are kept
  EXPECT_FALSE(results_folder_left());
  EXPECT_THROW(landing->cntr(), boxwright::engine::NotFoundError);

  const auto packages = packages_for(*launch_node_);
  EXPECT_EQ(summaries(packages),
            (Strings{"job_update Received", "job_update Building Image",
                     "job_update Building Container", "job_update Running", "job_results",
                     "job_update Complete"}));
  for (const auto& package : packages) EXPECT_EQ(package.label["job_id"], landing->id());
  const auto& results = packages[4];
  EXPECT_FALSE(results.label.contains("status"));
  ASSERT_TRUE(results.attachment);
  EXPECT_EQ(read_file(*results.attachment / "output.log"), "hello\n");
  EXPECT_EQ(read_file(*results.attachment / "filesys" / "result.txt"), "made\n");
}

TEST_F(LandingExecution, RunWithAContainerStartsItWithoutBuilding) {
  const auto job = job_folder(kQuickJob);
  const auto landing = make_lander(job.path());
  landing->build();
  const auto built = landing->cntr_id();
  EXPECT_EQ(engine_state(*built), "created");
  landing->run();
  EXPECT_EQ(landing->cntr_id(), built);
  EXPECT_EQ(statuses(*landing),
            (Strings{"New", "Received", "Building Image", "Building Container", "Running"}));
}

TEST_F(LandingExecution, BuildReportsWhatFailedAndThrowsItOn) {
  struct Case {
    std::string name;
    std::string steps;           // of the Dockerfile
    std::string id;              // of the job
    std::function<void()> prepare;
    std::function<bool(const std::exception&)> expected;
    Strings history_tail;
    bool image_kept;
  };
  const Case cases[] = {
      {"image", std::string(kUnservedBase), "", [] {},
       is_a<boxwright::ImageBuildError>,
       {"Building Image", "Building Image Failed"}, false},
      {"container without a command", "", "", [] {},
       is_a<boxwright::ContainerBuildError>,
       {"Building Container", "Building Container Failed"}, true},
      {"tag over 128 characters", "", std::string(129, 'a'), [] {},
       [](const std::exception& e) {
         return std::string(e.what()) == "Image tag exceeds character limit (128)";
       },
       {"New", "Building Image"}, false},
      {"failure report", std::string(kUnservedBase), "", [&] { refuse_second_upload(); },
       is_a<networking::ValidityError>,
       {"Building Image", "Building Image Failed"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto job = c.steps.starts_with("FROM") ? testing::make_job_folder(c.steps)
                                                 : job_folder(c.steps);
    const auto landing = make_lander(job.path(), c.id.empty() ? Job::_make_id() : c.id, false);
    c.prepare();
    try {
      landing->build();
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      EXPECT_TRUE(c.expected(e)) << e.what();
    }
    const Strings history = statuses(*landing);
    EXPECT_EQ(Strings(history.end() - 2, history.end()), c.history_tail);
    EXPECT_EQ(landing->img_id().has_value(), c.image_kept);
    EXPECT_FALSE(landing->cntr_id());
  }
}

TEST_F(LandingExecution, AContainerThatFailsToStartIsRemoved) {
  const auto job = job_folder("CMD [\"/nonexistent\"]\n");
  const auto landing = make_lander(job.path(), std::nullopt, false);
  EXPECT_THROW(landing->run(), boxwright::engine::EngineError);
  ASSERT_TRUE(landing->cntr_id());
  EXPECT_FALSE(engine_has(*landing->cntr_id()));
  EXPECT_EQ(landing->status(), "Building Container");
  EXPECT_EQ(summaries(packages_for(*launch_node_)),
            (Strings{"job_update Building Image", "job_update Building Container"}));
}

TEST_F(LandingExecution, AFailedSendOfTheResultsLeavesNoFolderAndKeepsTheContainer) {
  const auto job = job_folder(kQuickJob);
  const auto landing = make_lander(job.path(), std::nullopt, false);
  landing->run();
  await_exit(*landing);
  refuse_next_upload();
  EXPECT_THROW(landing->send_results(), networking::ValidityError);
  EXPECT_FALSE(results_folder_left());
  EXPECT_EQ(landing->status(), "Running");
  EXPECT_TRUE(engine_has(*landing->cntr_id()));
}

}  // namespace
}  // namespace velmora::job
