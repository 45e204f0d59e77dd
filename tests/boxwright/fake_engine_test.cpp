// The engine client and the probe against a stand-in engine on a unix socket, and without one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>

#include "testing/background_server.hpp"
#include "testing/job_folder.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/engine_probe.hpp"

namespace velmora::boxwright {
namespace {

using engine::EngineClient;
using engine::EngineError;
using utils::Value;

// Sets DOCKER_HOST for the life of the object.
class DockerHost {
 public:
  explicit DockerHost(const std::string& value) {
    if (const char* old = std::getenv("DOCKER_HOST")) old_ = old;
    ::setenv("DOCKER_HOST", value.c_str(), 1);
  }
  ~DockerHost() {
    if (old_) {
      ::setenv("DOCKER_HOST", old_->c_str(), 1);
    } else {
      ::unsetenv("DOCKER_HOST");
    }
  }

 private:
  std::optional<std::string> old_;
};

class FakeEngine : public ::testing::Test {
 protected:
  testing::ScopedFolder folder_;
  std::string socket_ = (folder_.path() / "engine.sock").string();
  httplib::Server server_;
  EngineClient client_{{.base_url = "http://localhost", .unix_socket = socket_}};

  void answer(const std::string& pattern, int status, const std::string& body,
              const char* type = "application/json") {
    server_.Get(pattern, [=](const httplib::Request&, httplib::Response& res) {
      res.status = status;
      res.set_content(body, type);
    });
    server_.Post(pattern, [=](const httplib::Request&, httplib::Response& res) {
      res.status = status;
      res.set_content(body, type);
    });
  }
};

const Value kNoEngineInfo = {
    {"OSType", "None"}, {"MemTotal", "Unknown"}, {"NCPU", "0"}, {"Architecture", "Unknown"}};

TEST(NoEngine, IsAwakeIsFalseAndSysInfoIsThePlaceholder) {
  const std::string port = std::to_string(testing::unused_tcp_port());
  for (const std::string& host :
       {std::string("unix:///nonexistent/docker.sock"), "tcp://127.0.0.1:" + port,
        std::string("bogus://engine"), std::string("tcp://:1")}) {
    const DockerHost setting(host);
    EXPECT_FALSE(is_awake()) << host;
    const Value info = sys_info();
    EXPECT_EQ(info, kNoEngineInfo) << host;
    EXPECT_EQ(info.begin().key(), "OSType");
  }
}

TEST_F(FakeEngine, IsAwakeOnlyWhenThePingSucceeds) {
  std::atomic<bool> healthy = false;
  server_.Get("/v1.41/_ping", [&](const httplib::Request&, httplib::Response& res) {
    res.status = healthy ? 200 : 500;
    res.set_content(healthy ? "OK" : "{\"message\":\"not ready\"}", "text/plain");
  });
  answer("/v1.41/info", 200, "{\"OSType\":\"linux\"}");
  const testing::BackgroundServer running(&server_, socket_);
  const DockerHost setting("unix://" + socket_);
  EXPECT_FALSE(is_awake());
  EXPECT_EQ(sys_info(), kNoEngineInfo);

  healthy = true;
  EXPECT_TRUE(is_awake());
  EXPECT_EQ(sys_info(), Value({{"OSType", "linux"}}));
}

TEST_F(FakeEngine, RefusalsCarryTheEnginesMessage) {
  answer("/v1.41/containers/gone/json", 404, "{\"message\":\"No such container: gone\"}");
  answer("/v1.41/containers/busy/start", 409, "{\"message\":\"container is paused\"}");
  answer("/v1.41/containers/odd/json", 500, "  plain words\n", "text/plain");
  answer("/v1.41/containers/mute/json", 500, "", "text/plain");
  const testing::BackgroundServer running(&server_, socket_);

  try {
    client_.inspect_container("gone");
    ADD_FAILURE() << "no error";
  } catch (const engine::NotFoundError& e) {
    EXPECT_STREQ(e.what(), "No such container: gone");
  }
  struct Case {
    std::function<void()> call;
    long status;
    const char* message;
  };
  const Case cases[] = {
      {[&] { client_.start_container("busy"); }, 409, "container is paused"},
      {[&] { client_.inspect_container("odd"); }, 500, "plain words"},
      {[&] { client_.inspect_container("mute"); }, 500, "the Docker engine answered status 500"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const engine::NotFoundError&) {
      ADD_FAILURE() << "not found for " << c.message;
    } catch (const EngineError& e) {
      EXPECT_EQ(e.status(), c.status);
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST_F(FakeEngine, UnreachableEngineHasStatusZero) {
  try {
    client_.ping();  // nothing listens on the socket
    FAIL() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.status(), 0);
    EXPECT_NE(std::string(e.what()).find(socket_), std::string::npos) << e.what();
  }
}

TEST_F(FakeEngine, BuildSendsTheContextAndReadsTheStream) {
  httplib::Request seen;
  std::string answer_body;
  server_.Post("/v1.41/build", [&](const httplib::Request& req, httplib::Response& res) {
    seen = req;
    res.set_content(answer_body, "application/json");
  });
  const testing::BackgroundServer running(&server_, socket_);
  const auto job = testing::make_job_folder(testing::kBusyboxBase);
  const engine::BuildOptions options{.tag = "job:1", .labels = {{"k", "v"}}, .pull = false};

  answer_body = "{\"stream\":\"Step 1/2\"}\r\n{\"aux\":{\"ID\":\"sha256:f00\"}}\r\n";
  const engine::BuildResult built = client_.build_image(job.path(), options);
  EXPECT_EQ(built.image_id, "sha256:f00");
  EXPECT_EQ(built.log.size(), 2u);
  EXPECT_EQ(seen.get_header_value("Content-Type"), "application/x-tar");
  EXPECT_EQ(seen.get_param_value("t"), "job:1");
  EXPECT_EQ(Value::parse(seen.get_param_value("labels")), Value({{"k", "v"}}));
  EXPECT_EQ(seen.get_param_value("rm"), "1");
  EXPECT_EQ(seen.get_param_value("pull"), "0");
  EXPECT_NE(seen.body.find("FROM scratch"), std::string::npos);  // the tar holds the Dockerfile

  // A 200 answer can still report a failed build.
  answer_body =
      "{\"stream\":\"Step 1/2\"}\n"
      "{\"errorDetail\":{\"message\":\"no space\"},\"error\":\"no space\"}\n";
  try {
    client_.build_image(job.path(), options);
    ADD_FAILURE() << "no error";
  } catch (const engine::BuildError& e) {
    EXPECT_STREQ(e.what(), "no space");
    EXPECT_EQ(e.build_log().size(), 2u);
  }
  answer_body = "{\"stream\":\"Step 1/2\"}\n";
  EXPECT_THROW(client_.build_image(job.path(), options), EngineError);
  answer_body = "{\"stream\":\"Step 1/2\"}\nnot json\n";
  EXPECT_THROW(client_.build_image(job.path(), options), EngineError);
}

TEST_F(FakeEngine, ListSendsEveryFilterAsAList) {
  std::string filters;
  server_.Get("/v1.41/containers/json", [&](const httplib::Request& req, httplib::Response& res) {
    filters = req.get_param_value("filters");
    res.set_content("[]", "application/json");
  });
  const testing::BackgroundServer running(&server_, socket_);
  EXPECT_EQ(client_.list_containers({{"status", "exited"}, {"label", {"a=1", "b"}}}),
            Value::array());
  EXPECT_EQ(Value::parse(filters), Value({{"status", {"exited"}}, {"label", {"a=1", "b"}}}));
}

}  // namespace
}  // namespace velmora::boxwright
