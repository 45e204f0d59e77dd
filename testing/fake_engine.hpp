#pragma once
// A stand-in Docker engine on a unix socket, for answers a real engine never gives (a Windows
// engine, the NVIDIA runtime, broken change lists). DOCKER_HOST points at it while it lives, so
// the adapter's functions reach it as they would the real one. Routes are added before serve();
// the record of requests may be read from any thread.

#include <httplib.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "testing/background_server.hpp"
#include "testing/environment_setting.hpp"
#include "testing/scoped_folder.hpp"

namespace velmora::testing {

class FakeEngine {
 public:
  struct Request {
    std::string method;
    std::string path;  // without the query
    httplib::Params params;
    std::string body;
  };

  FakeEngine() = default;
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  // Answers requests of method to paths matching pattern (a regular expression, below
  // "/v1.41") with status and body, or through handler.
  void answer(const std::string& method, const std::string& pattern, int status,
              const std::string& body, const std::string& content_type = "application/json");
  void answer(const std::string& method, const std::string& pattern,
              httplib::Server::Handler handler);

  void serve();

  // Every request to an answered route so far, in order; and those to exactly path (below
  // "/v1.41").
  std::vector<Request> requests() const;
  std::vector<Request> requests_to(const std::string& path) const;

 private:
  ScopedFolder folder_;
  std::string socket_ = (folder_.path() / "engine.sock").string();
  EnvironmentSetting docker_host_{"DOCKER_HOST", "unix://" + socket_};
  mutable std::mutex mutex_;  // guards requests_
  std::vector<Request> requests_;
  httplib::Server server_;
  std::optional<BackgroundServer> running_;
};

}  // namespace velmora::testing
