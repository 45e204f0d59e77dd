#pragma once
// An HTTPS server on 127.0.0.1 in the place of the identity provider's key set: each path answers
// what the test scripts (status, body, optional "Location"), "/.well-known/jwks.json" at first an
// empty key set. Counts the requests. Any thread may script it while it serves.

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "testing/background_server.hpp"
#include "testing/tls_certificate.hpp"

namespace velmora::testing {

class JwksServer {
 public:
  // Writes its certificate into folder, which must outlive the server.
  explicit JwksServer(const std::filesystem::path& folder);

  void set_answer(const std::string& path, int status, std::string body,
                  std::string location = "");

  std::string domain() const { return "127.0.0.1:" + std::to_string(running_->port()); }
  const std::filesystem::path& ca_file() const noexcept { return tls_.cert; }
  int requests() const noexcept { return requests_.load(); }

 private:
  struct Answer {
    int status;
    std::string body;
    std::string location;
  };

  TlsFiles tls_;
  std::mutex mutex_;
  std::map<std::string, Answer> answers_;
  std::atomic<int> requests_ = 0;
  httplib::SSLServer server_;
  std::unique_ptr<BackgroundServer> running_;
};

}  // namespace velmora::testing
