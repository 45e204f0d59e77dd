// Images and containers of jobs: the decisions against a stand-in engine, the life cycle against
// the real engine of the environment (scripts/start-dockerd).
#include "velmora/boxwright/life_cycle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <random>

#include "testing/engine_janitor.hpp"
#include "testing/eventually.hpp"
#include "testing/fake_engine.hpp"
#include "testing/job_folder.hpp"
#include "velmora/boxwright/docker_error.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/engine_probe.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::boxwright {
namespace {

using testing::eventually;
using testing::FakeEngine;
using utils::Value;

const std::string kJobId = "0123456789abcdef0123456789abcdef";
const std::string kBuilt =
    "{\"stream\":\"Step 1/1 : FROM scratch\"}\n{\"aux\":{\"ID\":\"sha256:f00d\"}}\n";

// What one build asked of the stand-in engine, and what it logged.
struct BuildSeen {
  std::vector<FakeEngine::Request> builds;
  std::vector<std::string> log;
};

// Runs check with a job folder while a stand-in engine answers its information and builds as
// given; answers what check's calls asked to build and logged.
template <class Check>
BuildSeen build_against(const std::string& info, int build_status, const std::string& build_answer,
                        Check check) {
  FakeEngine engine;
  engine.answer("GET", "/info", 200, info);
  engine.answer("POST", "/build", build_status, build_answer);
  engine.serve();
  const auto job = testing::make_job_folder(testing::kBusyboxBase);
  const utils::log::LogCapture capture("velmora.boxwright");
  check(job.path());
  return {engine.requests_to("/build"), capture.messages()};
}

TEST(LifeCycle, BuildPullsTheBaseImageOnLinuxOnly) {
  struct Case {
    std::string info;
    std::optional<std::string> pull;  // the query parameter, when sent
  } cases[] = {
      {R"({"OSType": "linux"})", "1"},
      {R"({"OSType": "windows"})", "0"},
      {R"({"OSType": "Linux"})", std::nullopt},  // letter case counts
      {R"({"OSType": 7})", std::nullopt},
  };
  for (const Case& c : cases) {
    const BuildSeen seen = build_against(c.info, 200, kBuilt, [](const auto& folder) {
      EXPECT_EQ(build_image(folder, "My Job", kJobId).id, "sha256:f00d");
    });
    ASSERT_EQ(seen.builds.size(), 1u) << c.info;
    const auto& params = seen.builds[0].params;
    EXPECT_EQ(params.count("pull") ? std::optional(params.find("pull")->second) : std::nullopt,
              c.pull)
        << c.info;
    EXPECT_EQ(params.find("t")->second, "myjob:" + kJobId);
    EXPECT_EQ(params.find("rm")->second, "1");
    EXPECT_EQ(params.find("forcerm")->second, "1");
    EXPECT_EQ(seen.log,
              (std::vector<std::string>{"INFO:velmora.boxwright:metadata complete, bulding...",
                                        "INFO:velmora.boxwright:done building"}));
  }
}

TEST(LifeCycle, FailuresBeforeTheBuildAskForNoBuild) {
  const BuildSeen without_os_type =
      build_against(R"({"Runtimes": {}})", 200, kBuilt, [](const auto& folder) {
        EXPECT_THROW(build_image(folder, "job", kJobId), utils::KeyError);
      });
  EXPECT_TRUE(without_os_type.builds.empty());

  const BuildSeen long_version =
      build_against(R"({"OSType": "linux"})", 200, kBuilt, [](const auto& folder) {
        try {
          build_image(folder, "job", std::string(129, 'v'));
          ADD_FAILURE() << "no error";
        } catch (const ImageBuildError&) {
          ADD_FAILURE() << "an image build error";
        } catch (const utils::RuntimeError& e) {
          EXPECT_STREQ(e.what(), "Image tag exceeds character limit (128)");
        }
      });
  EXPECT_TRUE(long_version.builds.empty());
  EXPECT_TRUE(long_version.log.empty());
}

TEST(LifeCycle, FailedBuildCarriesItsArgumentsReasonAndLog) {
  const std::string refused =
      "{\"stream\":\"Step 1/2\"}\n{\"errorDetail\":{\"message\":\"no space\"},\"error\":\"no "
      "space\"}\n";
  struct Case {
    int status;
    std::string answer;
    std::string reason;
    Value build_log;
  } cases[] = {
      {200, refused, "no space",
       Value::array({{{"stream", "Step 1/2"}},
                     {{"errorDetail", {{"message", "no space"}}}, {"error", "no space"}}})},
      {500, R"({"message": "engine trouble"})", "Unknown", nullptr},
  };
  for (const Case& c : cases) {
    std::filesystem::path job_folder;
    const BuildSeen seen =
        build_against(R"({"OSType": "linux"})", c.status, c.answer, [&](const auto& folder) {
          job_folder = folder;
          // Relative, through "." and ".." and a link: the arguments name the folder itself.
          const testing::ScopedFolder links;
          std::filesystem::create_directory_symlink(folder, links.path() / "job");
          std::filesystem::create_directory(folder / "data");
          const auto path = (links.path() / "job" / "." / "data" / "..")
                                .lexically_relative(std::filesystem::current_path());
          ASSERT_TRUE(path.is_relative());
          try {
            build_image(path, "job", "1", {{"team", "a"}});
            ADD_FAILURE() << "no error";
          } catch (const ImageBuildError& e) {
            EXPECT_EQ(e.reason(), c.reason);
            EXPECT_EQ(e.build_log(), c.build_log);
            EXPECT_TRUE(std::string(e.what()).starts_with("Reason " + c.reason + "\n")) << e.what();
            EXPECT_EQ(e.build_args(), Value({{"path", folder.string()},
                                             {"tag", "job:1"},
                                             {"labels", {{"team", "a"}}},
                                             {"container_limits", Value::object()},
                                             {"rm", true},
                                             {"pull", true},
                                             {"forcerm", true}}));
          }
        });
    EXPECT_EQ(seen.builds.size(), 1u);
    EXPECT_EQ(seen.log,
              std::vector<std::string>{"INFO:velmora.boxwright:metadata complete, bulding..."});
  }
}

TEST(LifeCycle, BuildThatLostAnImageOfTheCacheIsMadeOnceMoreWithoutIt) {
  const std::string lost =
      "{\"stream\":\"Step 2/3 : COPY busybox /bin/busybox\"}\n"
      "{\"error\":\"unable to find image \\\"sha256:7411\\\"\"}\n";
  struct Case {
    std::vector<std::string> answers;  // of the builds, in turn
    std::optional<std::string> built;  // the image, or none for an ImageBuildError
  } cases[] = {
      {{lost, kBuilt}, "sha256:f00d"},
      {{lost, lost}, std::nullopt},  // once more only
  };
  for (const Case& c : cases) {
    FakeEngine engine;
    engine.answer("GET", "/info", 200, R"({"OSType": "linux"})");
    std::atomic<std::size_t> served = 0;
    engine.answer("POST", "/build", [&](const httplib::Request&, httplib::Response& answer) {
      answer.set_content(c.answers.at(std::min(served++, c.answers.size() - 1)),
                         "application/json");
    });
    engine.serve();
    const auto job = testing::make_job_folder(testing::kBusyboxBase);
    try {
      EXPECT_EQ(build_image(job.path(), "job", kJobId).id, c.built);
    } catch (const ImageBuildError& e) {
      EXPECT_FALSE(c.built);
      EXPECT_EQ(e.reason(), "unable to find image \"sha256:7411\"");
    }
    const auto builds = engine.requests_to("/build");
    ASSERT_EQ(builds.size(), 2u);
    EXPECT_EQ(builds[0].params.find("nocache")->second, "0");
    EXPECT_EQ(builds[1].params.find("nocache")->second, "1");
    EXPECT_EQ(builds[1].params.find("t")->second, "job:" + kJobId);
  }
}

TEST(LifeCycle, ContainerRunsOnNvidiaWhereTheEngineListsIt) {
  struct Case {
    std::string runtimes;
    bool nvidia;
  } cases[] = {
      {R"({"nvidia": {"path": "nvidia-container-runtime"}, "runc": {"path": "runc"}})", true},
      {R"(["runc", "nvidia"])", true},
      {R"({"runc": {"path": "runc"}})", false},  // this machine's engine
      {R"({})", false},
      {"null", false},
  };
  for (const Case& c : cases) {
    for (const int create_status : {201, 500}) {
      FakeEngine engine;
      engine.answer("GET", "/info", 200, R"({"OSType": "linux", "Runtimes": )" + c.runtimes + "}");
      engine.answer("POST", "/containers/create", create_status, R"({"Id": "c0ffee"})");
      engine.answer("GET", "/containers/c0ffee/json", 200,
                    R"({"Id": "c0ffee", "Name": "/calm_job"})");
      engine.serve();
      const Value labels = {{"job", "1"}};
      try {
        const Container made = build_container({"sha256:f00d"}, labels);
        EXPECT_EQ(create_status, 201);
        EXPECT_EQ(made.id, "c0ffee");
        EXPECT_EQ(made.name, "calm_job");
      } catch (const ContainerBuildError& e) {
        EXPECT_EQ(create_status, 500);
        EXPECT_EQ(e.build_args(),
                  Value({{"img", "sha256:f00d"}, {"detach", true}, {"labels", labels}}));
      }
      const auto creates = engine.requests_to("/containers/create");
      ASSERT_EQ(creates.size(), 1u);
      const Value config = Value::parse(creates[0].body);
      EXPECT_EQ(config["Image"], "sha256:f00d");
      EXPECT_EQ(config["Labels"], labels);
      EXPECT_EQ(config.contains("HostConfig") && config["HostConfig"]["Runtime"] == "nvidia",
                c.nvidia)
          << c.runtimes;
    }
  }
}

TEST(LifeCycle, AContainerMadeButNotFoundAgainIsRemoved) {
  FakeEngine engine;
  engine.answer("GET", "/info", 200, R"({"OSType": "linux", "Runtimes": {}})");
  engine.answer("POST", "/containers/create", 201, R"({"Id": "c0ffee"})");
  engine.answer("GET", "/containers/c0ffee/json", 500, R"({"message": "engine trouble"})");
  engine.answer("DELETE", "/containers/c0ffee", 204, "");
  engine.serve();
  EXPECT_THROW(build_container({"sha256:f00d"}), ContainerBuildError);
  EXPECT_EQ(engine.requests_to("/containers/c0ffee").size(), 1u);
}

TEST(LifeCycle, EngineWithoutRuntimesIsALookupErrorBeforeAnyCreation) {
  FakeEngine engine;
  engine.answer("GET", "/info", 200, R"({"OSType": "linux"})");
  engine.answer("POST", "/containers/create", 201, R"({"Id": "c0ffee"})");
  engine.serve();
  EXPECT_THROW(build_container({"sha256:f00d"}), utils::KeyError);
  EXPECT_TRUE(engine.requests_to("/containers/create").empty());
}

TEST(LifeCycle, ExitedListAsksForExitedContainersOnly) {
  for (const std::string& listed :
       {std::string("[]"), std::string(R"([{"Id": "a1", "Names": ["/web/db", "/db"]},
                                                    {"Id": "b2", "Names": ["/job"]}])")}) {
    FakeEngine engine;
    engine.answer("GET", "/containers/json", 200, listed);
    engine.serve();
    const std::vector<Container> exited = get_exited_containers();
    const auto lists = engine.requests_to("/containers/json");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(Value::parse(lists[0].params.find("filters")->second),
              Value({{"status", {"exited"}}}));
    std::vector<std::pair<std::string, std::string>> seen;
    for (const Container& c : exited) seen.emplace_back(c.id, c.name);
    EXPECT_EQ(seen,
              (listed == "[]" ? decltype(seen){} : decltype(seen){{"a1", "db"}, {"b2", "job"}}));
  }
  FakeEngine broken;
  broken.answer("GET", "/containers/json", 200, R"([{"Names": ["/x"]}])");
  broken.serve();
  EXPECT_THROW(get_exited_containers(), engine::EngineError);
}

class RealEngineLifeCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(is_awake()) << "no Docker engine answers at DOCKER_HOST; scripts/test starts one";
  }

  static std::string unique_id() {
    std::random_device random;
    char id[33];
    std::snprintf(id, sizeof id, "%08x%08x%08x%08x", random(), random(), random(), random());
    return id;
  }

  // A busybox job folder whose image shares no layer with any other test's: the build may use
  // the engine's cache, and another test's removal must not take this image with it.
  static testing::ScopedFolder job_folder(const std::string& id, std::string_view steps = "") {
    return testing::make_job_folder("FROM scratch\nLABEL velmora.test=" + id +
                                    "\nCOPY busybox /bin/busybox\n" + std::string(steps));
  }

  engine::EngineClient client_ = engine::EngineClient::from_env();
  testing::EngineJanitor janitor_{client_};
};

TEST_F(RealEngineLifeCycle, BuildCreateRunAndSeeItExit) {
  const std::string id = unique_id();
  const auto job = job_folder(id, "CMD [\"/bin/busybox\", \"sleep\", \"60\"]\n");
  const Image image = build_image(job.path(), "Velmora Test Job", id);
  janitor_.image(image.id);
  EXPECT_EQ(client_.inspect_image("velmoratestjob:" + id)["Id"], image.id);
  EXPECT_EQ(get_image(image.id).id, image.id);

  const Container container = build_container(image, {{"velmora.test", id}});
  janitor_.container(container.id);
  const Value details = client_.inspect_container(container.id);
  EXPECT_EQ(details["State"]["Status"], "created");
  EXPECT_EQ(details["Name"], "/" + container.name);
  EXPECT_EQ(details["Config"]["Labels"]["velmora.test"], id);
  // This engine has none; an engine may leave "Runtime" out, and a missing key of a const value
  // must not be read.
  EXPECT_NE(details["HostConfig"].value("Runtime", ""), "nvidia");
  EXPECT_EQ(get_container(container.id).name, container.name);

  const auto exited = [&] {
    for (const Container& c : get_exited_containers())
      if (c.id == container.id) return true;
    return false;
  };
  run_container(container);
  EXPECT_EQ(client_.inspect_container(container.id)["State"]["Status"], "running");
  EXPECT_FALSE(exited());
  client_.stop_container(container.id, 0);
  ASSERT_TRUE(eventually(exited));
  EXPECT_EQ(get_container(container.id).name, container.name);

  client_.remove_container(container.id);
  EXPECT_THROW(run_container(container), engine::NotFoundError);
  EXPECT_THROW(get_container(container.id), engine::NotFoundError);
}

TEST_F(RealEngineLifeCycle, RefusedBuildAndCreationRaiseTheAdaptersErrors) {
  // Nothing listens on port 9 of the loopback, so the base image fails at once.
  const auto missing_base = testing::make_job_folder("FROM 127.0.0.1:9/velmora-missing:none\n");
  try {
    build_image(missing_base.path(), "job", unique_id());
    ADD_FAILURE() << "no error";
  } catch (const ImageBuildError& e) {
    EXPECT_NE(e.reason().find("127.0.0.1:9"), std::string::npos) << e.reason();
    EXPECT_FALSE(e.build_log().empty());
  }

  // An image without a command builds, but no container can be made of it.
  const std::string id = unique_id();
  const auto no_command = job_folder(id);
  const Image image = build_image(no_command.path(), "job", id);
  janitor_.image(image.id);
  try {
    janitor_.container(build_container(image).id);
    ADD_FAILURE() << "no error";
  } catch (const ContainerBuildError& e) {
    EXPECT_EQ(e.build_args(),
              Value({{"img", image.id}, {"detach", true}, {"labels", Value::object()}}));
  }
}

}  // namespace
}  // namespace velmora::boxwright
