#include "testing/fake_https_server.hpp"

#include <algorithm>
#include <cctype>

#include "velmora/utils/error.hpp"

namespace velmora::testing {
namespace {

constexpr std::size_t kMaxRequestBody = std::size_t{64} << 20;
constexpr std::size_t kServerThreads = 32;
constexpr std::size_t kMaxRecorded = 10'000;

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (same_name(key, name)) return value;
  return {};
}

std::string RecordedRequest::bearer_token() const {
  constexpr std::string_view kScheme = "Bearer ";
  const std::string authorization = header("Authorization");
  return authorization.starts_with(kScheme) ? authorization.substr(kScheme.size()) : std::string();
}

FakeHttpsServer::FakeHttpsServer(const TlsFiles& tls, Route route)
    : route_(std::move(route)), server_(tls.cert.c_str(), tls.key.c_str()) {
  if (!server_.is_valid()) throw utils::RuntimeError("fake server cannot load its certificate");
  server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server_.set_payload_max_length(kMaxRequestBody);
  server_.set_tcp_nodelay(true);
  const auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    RecordedRequest request{req.method, req.path, {}, req.body};
    for (const auto& [name, value] : req.headers) request.headers.emplace_back(name, value);
    try {
      const Answer reply = answer(request);
      res.status = reply.status;
      for (const auto& [name, value] : reply.headers) res.set_header(name, value);
      res.set_content(reply.body, reply.content_type);
    } catch (const std::exception& failure) {
      res.status = 500;
      res.set_content(failure.what(), "text/plain");
    }
  };
  server_.Get(".*", handle);
  server_.Post(".*", handle);
  server_.Put(".*", handle);
  server_.Delete(".*", handle);
  running_ = std::make_unique<BackgroundServer>(&server_);
}

FakeHttpsServer::~FakeHttpsServer() { running_.reset(); }

std::string FakeHttpsServer::authority() const {
  return "127.0.0.1:" + std::to_string(running_->port());
}

std::string FakeHttpsServer::url() const { return "https://" + authority(); }

void FakeHttpsServer::script(const std::string& path, const Answer& answer, int times) {
  std::lock_guard lock(mutex_);
  auto& queue = scripted_[path];
  for (int i = 0; i < times; ++i) queue.push_back(answer);
}

int FakeHttpsServer::calls(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto found = calls_.find(path);
  return found == calls_.end() ? 0 : found->second;
}

std::vector<RecordedRequest> FakeHttpsServer::requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

Answer FakeHttpsServer::answer(const RecordedRequest& request) {
  {
    std::lock_guard lock(mutex_);
    ++calls_[request.path];
    requests_.push_back(request);
    if (requests_.size() > kMaxRecorded) requests_.pop_front();
    const auto queue = scripted_.find(request.path);
    if (queue != scripted_.end() && !queue->second.empty()) {
      Answer scripted = std::move(queue->second.front());
      queue->second.pop_front();
      return scripted;
    }
  }
  return route_(request);
}

}  // namespace velmora::testing
