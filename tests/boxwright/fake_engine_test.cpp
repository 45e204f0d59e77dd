// The engine client and the probe against a stand-in engine on a unix socket, and without one.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>

#include "testing/background_server.hpp"
#include "testing/environment_setting.hpp"
#include "testing/job_folder.hpp"
#include "testing/raw_server.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/engine_probe.hpp"

namespace velmora::boxwright {
namespace {

using engine::EngineClient;
using engine::EngineError;
using engine::EngineLimits;
using utils::Value;

// The text of what e says, when the call throws an EngineError; fails the test otherwise.
template <class Call>
std::string engine_error_of(Call call, long status) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.status(), status) << e.what();
    return e.what();
  }
  return "";
}

// Answers every request with a chunked 200 answer whose body is head and then body_piece,
// repeated until the client goes.
testing::RawServer::Handler endless_answer(std::string head, std::string body_piece) {
  return [head = std::move(head), body_piece = std::move(body_piece)](int socket) {
    testing::read_request(socket);
    const auto chunk = [](const std::string& data) {
      char size[20];
      std::snprintf(size, sizeof size, "%zx\r\n", data.size());
      return size + data + "\r\n";
    };
    testing::send_text(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    if (!head.empty()) testing::send_text(socket, chunk(head));
    const std::string piece = chunk(body_piece);
    while (testing::send_text(socket, piece)) {
    }
  };
}

class FakeEngine : public ::testing::Test {
 protected:
  // A client of the engine on socket_ with these limits.
  EngineClient client_with(EngineLimits limits) const {
    return EngineClient({.base_url = "http://localhost", .unix_socket = socket_}, limits);
  }

  testing::ScopedFolder folder_;
  std::string socket_ = (folder_.path() / "engine.sock").string();
  httplib::Server server_;
  EngineClient client_ = client_with({});

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
    const testing::EnvironmentSetting setting("DOCKER_HOST", host);
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
  const testing::EnvironmentSetting setting("DOCKER_HOST", "unix://" + socket_);
  EXPECT_FALSE(is_awake());
  EXPECT_EQ(sys_info(), kNoEngineInfo);

  healthy = true;
  EXPECT_TRUE(is_awake());
  EXPECT_EQ(sys_info(), Value({{"OSType", "linux"}}));
  // A bad authority bundle concerns TLS only; the engine's socket speaks plain HTTP.
  const testing::EnvironmentSetting bad_bundle("VELMORA_CA_FILE",
                                                (folder_.path() / "none.pem").string());
  EXPECT_TRUE(is_awake());
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

TEST_F(FakeEngine, AnswerCutOffWithinItsHeaderBlockIsNoSuccess) {
  const testing::RawServer engine(
      [](int socket) {
        testing::read_request(socket);
        testing::send_text(socket, "HTTP/1.1 200 OK\r\nApi-Version: 1.41\r\n");
      },
      socket_);
  engine_error_of([&] { client_.ping(); }, 0);
  engine_error_of([&] { client_.start_container("c"); }, 0);
  const testing::EnvironmentSetting setting("DOCKER_HOST", "unix://" + socket_);
  EXPECT_FALSE(is_awake());
}

TEST_F(FakeEngine, EndlessAnswerToAShortCallEndsAtItsLimit) {
  const testing::RawServer engine(endless_answer("[", "{\"Id\": \"c\"}, "), socket_);
  const std::string text =
      engine_error_of([&] { client_with({.answer_bytes = 1 << 20}).list_containers(); }, 200);
  EXPECT_EQ(text, "the Docker engine's answer passed 1 MiB");
}

TEST_F(FakeEngine, DeeplyNestedAnswerIsRefused) {
  answer("/v1.41/info", 200, std::string(100000, '[') + std::string(100000, ']'));
  const testing::BackgroundServer running(&server_, socket_);
  const std::string text = engine_error_of([&] { client_.info(); }, 200);
  EXPECT_TRUE(text.starts_with("the Docker engine's answer is not JSON")) << text;
}

// Each case: how an engine answers a build, the client's limits, and the start of the error.
TEST_F(FakeEngine, BuildThatRunsOutOfBoundsIsAbandoned) {
  const auto job = testing::make_job_folder(testing::kBusyboxBase);
  const std::string message = "{\"stream\": \"" + std::string(1000, 's') + "\"}\n";
  struct Case {
    testing::RawServer::Handler engine;
    EngineLimits limits;
    long status;
    std::string error;
  } cases[] = {
      {endless_answer("{\"stream\": \"", std::string(4096, 'x')),
       {.build_message_bytes = 1 << 20},
       200,
       "a message of the image build's output passed 1 MiB; the build was abandoned"},
      {endless_answer("", message),
       {.build_output_bytes = 2 << 20},
       200,
       "the image build's output passed 2 MiB; the build was abandoned"},
      {[](int socket) {  // accepts the context, then says nothing
         testing::read_request(socket);
         char byte;
         ::recv(socket, &byte, 1, 0);
       },
       {.build_silence = std::chrono::seconds(1)},
       0,
       "the Docker engine sent nothing on the image build for 1 s; the build was abandoned"},
  };
  for (const Case& c : cases) {
    const testing::RawServer engine(c.engine, socket_);
    EXPECT_EQ(engine_error_of([&] { client_with(c.limits).build_image(job.path(), {}); }, c.status),
              c.error);
  }
}

TEST_F(FakeEngine, ReferencesWithDotSegmentsAreRefusedBeforeTheEngine) {
  std::atomic<int> requests = 0;
  const testing::RawServer engine([&](int) { ++requests; }, socket_);
  const auto ignore = [](std::string_view) {};
  const std::function<void()> refused[] = {
      [&] { client_.remove_image("../containers/x"); },
      [&] { client_.inspect_image("library/./busybox"); },
      [&] { client_.inspect_image("a/.."); },
      [&] { client_.inspect_image(""); },
      [&] { client_.inspect_container(".."); },
      [&] { client_.remove_container("."); },
      [&] { client_.start_container(""); },
      [&] { client_.container_logs("..", ignore); },
      [&] { client_.container_archive("..", "/", ignore); },
  };
  for (const auto& call : refused) EXPECT_THROW(call(), utils::ValueError);
  EXPECT_EQ(requests, 0);
}

TEST_F(FakeEngine, DotsWithinNamesAreKept) {
  std::string seen;
  server_.Get(R"(/v1\.41/images/(.*))", [&](const httplib::Request& req, httplib::Response& res) {
    seen = req.path;
    res.set_content("{}", "application/json");
  });
  const testing::BackgroundServer running(&server_, socket_);
  client_.inspect_image("host:5000/my.team/job..x:1.0");
  EXPECT_EQ(seen, "/v1.41/images/host:5000/my.team/job..x:1.0/json");
}

TEST_F(FakeEngine, LogsStreamToASinkOrAFile) {
  std::string frames;
  for (const auto& [stream, payload] : {std::pair{1, "out\n"}, std::pair{2, "err\n"}}) {
    frames += {static_cast<char>(stream), 0, 0, 0, 0, 0, 0, 4};
    frames += payload;
  }
  answer("/v1.41/containers/job/json", 200, R"({"Config": {"Tty": false}})");
  answer("/v1.41/containers/job/logs", 200, frames, "application/octet-stream");
  answer("/v1.41/containers/garbled/json", 200, R"({"Config": {"Tty": false}})");
  answer("/v1.41/containers/garbled/logs", 200, "not framed", "application/octet-stream");
  answer("/v1.41/containers/gone/json", 404, R"({"message": "No such container: gone"})");
  const testing::BackgroundServer running(&server_, socket_);

  std::string log;
  client_.container_logs("job", [&](std::string_view piece) { log.append(piece); });
  EXPECT_EQ(log, "out\nerr\n");

  const auto file = folder_.path() / "output.log";
  const auto content = [&] {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_TRUE(client_.container_logs("job", file));
  EXPECT_EQ(content(), "out\nerr\n");
  // At most so many bytes, and whether the whole log fit in them.
  EXPECT_TRUE(client_.container_logs("job", file, {}, 8));
  EXPECT_EQ(content(), "out\nerr\n");
  EXPECT_FALSE(client_.container_logs("job", file, {}, 5));
  EXPECT_EQ(content(), "out\ne");

  // An undecodable stream is the engine's answer gone wrong, not a missing answer.
  engine_error_of([&] { client_.container_logs("garbled", file); }, 200);
  // The file is made before the engine is asked, so a failed call leaves it empty.
  EXPECT_THROW(client_.container_logs("gone", file), engine::NotFoundError);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

}  // namespace
}  // namespace velmora::boxwright
