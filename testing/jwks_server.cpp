#include "testing/jwks_server.hpp"

namespace velmora::testing {

JwksServer::JwksServer(const std::filesystem::path& folder)
    : tls_(make_self_signed_certificate(folder, "jwks")),
      server_(tls_.cert.c_str(), tls_.key.c_str()) {
  set_answer("/.well-known/jwks.json", 200, R"({"keys": []})");
  server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    ++requests_;
    std::lock_guard lock(mutex_);
    const auto answer = answers_.find(request.path);
    if (answer == answers_.end()) {
      response.status = 404;
      return;
    }
    response.status = answer->second.status;
    if (!answer->second.location.empty())
      response.set_header("Location", answer->second.location);
    response.set_content(answer->second.body, "application/json");
  });
  running_ = std::make_unique<BackgroundServer>(&server_);
}

void JwksServer::set_answer(const std::string& path, int status, std::string body,
                            std::string location) {
  std::lock_guard lock(mutex_);
  answers_.insert_or_assign(path, Answer{status, std::move(body), std::move(location)});
}

}  // namespace velmora::testing
