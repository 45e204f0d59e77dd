// The engine client against the real Docker engine of the environment (scripts/start-dockerd).
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "testing/engine_janitor.hpp"
#include "testing/eventually.hpp"
#include "testing/job_folder.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/engine_probe.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::boxwright::engine {
namespace {

using testing::eventually;
using utils::Value;

std::string unique_name(std::string_view prefix) {
  std::random_device random;
  return std::string(prefix) + std::to_string(random()) + std::to_string(random());
}

// The files of a tar stream, by name.
std::map<std::string, std::string> untar(const std::string& tar) {
  std::map<std::string, std::string> files;
  archive* reader = archive_read_new();
  archive_read_support_format_tar(reader);
  archive_read_open_memory(reader, tar.data(), tar.size());
  archive_entry* entry;
  while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
    std::string& content = files[archive_entry_pathname(entry)];
    char buffer[4096];
    for (la_ssize_t n; (n = archive_read_data(reader, buffer, sizeof buffer)) > 0;)
      content.append(buffer, static_cast<std::size_t>(n));
  }
  archive_read_free(reader);
  return files;
}

class RealEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(is_awake()) << "no Docker engine answers at DOCKER_HOST; scripts/test starts one "
                               "(scripts/start-dockerd)";
  }

  // Builds an image of busybox and steps, recorded for removal.
  std::string build(std::string_view steps, const std::string& tag = "") {
    const auto job =
        testing::make_job_folder(std::string(testing::kBusyboxBase) + std::string(steps));
    BuildResult built =
        client_.build_image(job.path(), {.tag = tag, .forcerm = true, .nocache = true});
    return janitor_.image(built.image_id);
  }

  // The container's log, gathered through the streaming call.
  std::string logs_of(const std::string& container, LogStreams streams = {}) {
    std::string log;
    client_.container_logs(
        container, [&log](std::string_view piece) { log.append(piece); }, streams);
    return log;
  }

  // Creates a container of image running command without network, recorded for removal.
  std::string create(const std::string& image, const std::string& command, bool tty = false,
                     const std::string& name = "") {
    const Value config = {{"Image", image},
                          {"Cmd", {"/bin/busybox", "sh", "-c", command}},
                          {"Tty", tty},
                          {"HostConfig", {{"NetworkMode", "none"}}}};
    return janitor_.container(client_.create_container(config, name));
  }

  std::string status_of(const std::string& container) {
    return client_.inspect_container(container)["State"]["Status"].get<std::string>();
  }

  EngineClient client_ = EngineClient::from_env();
  testing::EngineJanitor janitor_{client_};
};

TEST_F(RealEngine, PingAndInfo) {
  EXPECT_NO_THROW(client_.ping());
  const Value info = client_.info();
  EXPECT_EQ(info["OSType"], "linux");
  EXPECT_TRUE(info["Runtimes"].contains("runc"));
  EXPECT_EQ(sys_info()["OSType"], "linux");
}

TEST_F(RealEngine, BuildTagsAndRemovesAnImage) {
  const std::string tag = unique_name("velmora-test-") + ":1";
  const std::string image = build("LABEL velmora.test=1\n", tag);
  EXPECT_TRUE(image.starts_with("sha256:")) << image;
  EXPECT_EQ(client_.inspect_image(tag)["Id"], image);

  const Value removed = client_.remove_image(tag);
  EXPECT_TRUE(removed.is_array() && !removed.empty());
  EXPECT_THROW(client_.inspect_image(image), NotFoundError);
}

TEST_F(RealEngine, FailedBuildsReportTheEnginesReason) {
  struct Case {
    std::string dockerfile;
    std::string reason_part;
  };
  // Nothing listens on port 9 of the loopback, so the missing base image fails at once.
  const Case cases[] = {
      {"FROM 127.0.0.1:9/velmora-missing:none\n", "127.0.0.1:9"},
      {std::string(testing::kBusyboxBase) + "RUN [\"/bin/busybox\", \"false\"]\n",
       "returned a non-zero code: 1"},
  };
  for (const auto& c : cases) {
    const auto job = testing::make_job_folder(c.dockerfile);
    try {
      client_.build_image(job.path(), {.forcerm = true, .nocache = true});
      ADD_FAILURE() << "no error for " << c.dockerfile;
    } catch (const BuildError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason_part), std::string::npos) << e.what();
      EXPECT_FALSE(e.build_log().empty());
      // The steps before the failure left images; their ids follow " ---> " in the log.
      for (const Value& message : e.build_log()) {
        const std::string text = message.value("stream", "");
        if (const auto at = text.find(" ---> "); at != std::string::npos) {
          const std::string id = text.substr(at + 6, 12);
          if (id.find_first_not_of("0123456789abcdef") == std::string::npos) janitor_.image(id);
        }
      }
    }
  }
}

TEST_F(RealEngine, ContextThatIsNoFolderIsRefusedBeforeTheEngine) {
  const auto job = testing::make_job_folder(testing::kBusyboxBase);
  EXPECT_THROW(client_.build_image(job.path() / "Dockerfile", {}), utils::OSError);
  EXPECT_THROW(client_.build_image(job.path() / "missing", {}), utils::OSError);
}

TEST_F(RealEngine, ContainerLifeCycle) {
  const std::string image = build("");
  const std::string name = unique_name("velmora-test-");
  const std::string container =
      create(image,
             "echo out; echo err >&2; /bin/busybox mkdir /out; echo result > /out/result.txt; "
             "exec /bin/busybox sleep 60",
             false, name);
  EXPECT_EQ(status_of(container), "created");
  EXPECT_EQ(client_.inspect_container(name)["Id"], container);

  client_.start_container(container);
  // The engine copies the two streams concurrently, so their lines may come in either order.
  ASSERT_TRUE(eventually([&] {
    const std::string log = logs_of(container);
    return log == "out\nerr\n" || log == "err\nout\n";
  })) << logs_of(container);
  EXPECT_EQ(logs_of(container, {.err = false}), "out\n");
  EXPECT_EQ(logs_of(container, {.out = false}), "err\n");

  client_.pause_container(container);
  EXPECT_EQ(status_of(container), "paused");
  client_.unpause_container(container);
  EXPECT_EQ(status_of(container), "running");

  const Value by_name = {{"name", name}};
  EXPECT_EQ(client_.list_containers(by_name).size(), 1u);
  const Value exited = {{"name", name}, {"status", "exited"}};
  EXPECT_TRUE(client_.list_containers(exited).empty());
  client_.stop_container(container, 1);
  EXPECT_EQ(status_of(container), "exited");
  const Value listed = client_.list_containers(exited);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["Id"], container);

  const Value changes = client_.container_changes(container);
  EXPECT_NE(std::find(changes.begin(), changes.end(), Value({{"Path", "/out"}, {"Kind", 1}})),
            changes.end())
      << changes.dump();
  EXPECT_NE(
      std::find(changes.begin(), changes.end(), Value({{"Path", "/out/result.txt"}, {"Kind", 1}})),
      changes.end())
      << changes.dump();

  std::string tar;
  client_.container_archive(container, "/out/result.txt",
                            [&](std::string_view piece) { tar.append(piece); });
  EXPECT_EQ(untar(tar), (std::map<std::string, std::string>{{"result.txt", "result\n"}}));

  client_.remove_container(container);
  EXPECT_THROW(client_.inspect_container(container), NotFoundError);
  EXPECT_THROW(client_.start_container(container), NotFoundError);
  EXPECT_THROW(logs_of(container), NotFoundError);
}

TEST_F(RealEngine, RefusedOperationsCarryTheEnginesMessage) {
  const std::string container = create(build(""), "exit 0");
  try {
    client_.pause_container(container);  // not running
    FAIL() << "no error";
  } catch (const NotFoundError&) {
    FAIL() << "not found";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.status(), 409);
    EXPECT_NE(std::string(e.what()).find("is not running"), std::string::npos) << e.what();
  }
  EXPECT_THROW(client_.container_archive(container, "/missing", [](std::string_view) {}),
               NotFoundError);
}

TEST_F(RealEngine, TerminalOutputComesRaw) {
  const std::string container = create(build(""), "echo hi; echo there >&2", true);
  client_.start_container(container);
  ASSERT_TRUE(eventually([&] { return status_of(container) == "exited"; }));
  // Both streams write to the one terminal, in order.
  EXPECT_EQ(logs_of(container), "hi\r\nthere\r\n");

  const testing::ScopedFolder folder;
  const auto file = folder.path() / "output.log";
  client_.container_logs(container, file);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "hi\r\nthere\r\n");
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace velmora::boxwright::engine
