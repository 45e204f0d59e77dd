#include "testing/fake_engine.hpp"

namespace velmora::testing {
namespace {

constexpr const char* kApiPrefix = "/v1.41";

}  // namespace

void FakeEngine::answer(const std::string& method, const std::string& pattern, int status,
                        const std::string& body, const std::string& content_type) {
  answer(method, pattern,
         [status, body, content_type](const httplib::Request&, httplib::Response& response) {
           response.status = status;
           response.set_content(body, content_type);
         });
}

void FakeEngine::answer(const std::string& method, const std::string& pattern,
                        httplib::Server::Handler handler) {
  const std::string full = std::string(kApiPrefix) + pattern;
  // Recorded before the answer goes, so a test sees every request its call made.
  auto recorded = [this, handler = std::move(handler)](const httplib::Request& request,
                                                       httplib::Response& response) {
    {
      const std::lock_guard lock(mutex_);
      requests_.push_back({request.method, request.path.substr(std::string_view(kApiPrefix).size()),
                           request.params, request.body});
    }
    handler(request, response);
  };
  if (method == "GET")
    server_.Get(full, std::move(recorded));
  else if (method == "POST")
    server_.Post(full, std::move(recorded));
  else if (method == "DELETE")
    server_.Delete(full, std::move(recorded));
  else
    throw std::invalid_argument("the fake engine has no method " + method);
}

void FakeEngine::serve() { running_.emplace(&server_, socket_); }

std::vector<FakeEngine::Request> FakeEngine::requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<FakeEngine::Request> FakeEngine::requests_to(const std::string& path) const {
  std::vector<Request> matching;
  for (Request& request : requests())
    if (request.path == path) matching.push_back(std::move(request));
  return matching;
}

}  // namespace velmora::testing
