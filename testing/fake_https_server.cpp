#include "testing/fake_https_server.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "velmora/utils/error.hpp"

namespace velmora::testing {
namespace {

// The limit of every request body: file store uploads stream to disk, the others are held in
// memory (tests send small ones).
constexpr std::size_t kMaxRequestBody = std::size_t{16} << 30;
constexpr std::size_t kFileChunk = std::size_t{256} << 10;
constexpr std::size_t kMaxRecorded = 10'000;
constexpr std::size_t kKeptConnectionRequests = 1000;  // a common web server's default

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

RecordedRequest recorded(const httplib::Request& req, bool with_body) {
  RecordedRequest request{req.method, req.path, {}, with_body ? req.body : std::string()};
  for (const auto& [name, value] : req.headers) request.headers.emplace_back(name, value);
  return request;
}

void reply(httplib::Response& res, const Answer& answer) {
  res.status = answer.status;
  for (const auto& [name, value] : answer.headers) res.set_header(name, value);
  res.set_content(answer.body, answer.content_type);
}

// The file name of a store path: empty unless it is made of letters, digits, '.', '-' and '_'
// and does not start with '.'.
std::string store_file_name(std::string_view path, std::string_view prefix) {
  if (!path.starts_with(prefix)) return {};
  const std::string_view name = path.substr(prefix.size());
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
  });
  return plain && !name.empty() && name.front() != '.' ? std::string(name) : std::string();
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

FakeHttpsServer::FakeHttpsServer(const TlsFiles& tls, Route route, std::optional<FileStore> store,
                                 std::size_t threads)
    : route_(std::move(route)), server_(tls.cert.c_str(), tls.key.c_str()) {
  if (!server_.is_valid()) throw utils::RuntimeError("fake server cannot load its certificate");
  server_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_.set_payload_max_length(kMaxRequestBody);
  server_.set_tcp_nodelay(true);
  // A connection is kept for many requests, as a real backend keeps it; a kept connection holds
  // a worker while it waits for its next request, so one worker serves one request each.
  server_.set_keep_alive_max_count(threads == 1 ? 1 : kKeptConnectionRequests);
  if (store) serve_file_store(*store);
  const auto handle = [this](const httplib::Request& req, httplib::Response& res) {
    try {
      reply(res, answer(recorded(req, true)));
    } catch (const std::exception& failure) {
      reply(res, {500, failure.what(), "text/plain"});
    }
  };
  server_.Get(".*", handle);
  server_.Post(".*", handle);
  server_.Put(".*", handle);
  server_.Delete(".*", handle);
  running_ = std::make_unique<BackgroundServer>(&server_);
}

FakeHttpsServer::~FakeHttpsServer() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  released_.notify_all();
  running_.reset();
}

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

std::optional<Answer> FakeHttpsServer::record(const RecordedRequest& request) {
  std::lock_guard lock(mutex_);
  ++calls_[request.path];
  requests_.push_back(request);
  if (requests_.size() > kMaxRecorded) requests_.pop_front();
  const auto queue = scripted_.find(request.path);
  if (queue == scripted_.end() || queue->second.empty()) return std::nullopt;
  Answer scripted = std::move(queue->second.front());
  queue->second.pop_front();
  return scripted;
}

void FakeHttpsServer::hold(const std::string& path) {
  std::lock_guard lock(mutex_);
  held_.insert(path);
}

void FakeHttpsServer::release(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    held_.erase(path);
  }
  released_.notify_all();
}

Answer FakeHttpsServer::answer(const RecordedRequest& request) {
  std::optional<Answer> scripted = record(request);
  {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return closing_ || !held_.contains(request.path); });
  }
  if (scripted) return std::move(*scripted);
  return route_(request);
}

void FakeHttpsServer::serve_file_store(const FileStore& store) {
  const std::string pattern = store.prefix + ".*";
  server_.Put(pattern, [this, store](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& read_body) {
    const std::string name = store_file_name(req.path, store.prefix);
    const auto partial = store.folder / (name + ".partial");
    std::ofstream file;
    if (!name.empty()) file.open(partial, std::ios::binary | std::ios::trunc);
    const bool whole = read_body([&](const char* data, std::size_t length) {
      file.write(data, static_cast<std::streamsize>(length));  // read whole even when refused
      return true;
    });
    file.close();
    if (auto scripted = record(recorded(req, false))) return reply(res, *scripted);
    if (name.empty()) return reply(res, {400, "Bad storage name", "text/plain"});
    if (!whole || !file) {
      std::filesystem::remove(partial);
      return reply(res, {500, "Cannot store the file", "text/plain"});
    }
    std::filesystem::rename(partial, store.folder / name);
    reply(res, {200, "", "text/plain"});
  });
  server_.Get(pattern, [this, store](const httplib::Request& req, httplib::Response& res) {
    if (auto scripted = record(recorded(req, false))) return reply(res, *scripted);
    const std::string name = store_file_name(req.path, store.prefix);
    auto file = std::make_shared<std::ifstream>(store.folder / name, std::ios::binary);
    if (name.empty() || !*file) return reply(res, {404, "No such file", "text/plain"});
    const auto size = std::filesystem::file_size(store.folder / name);
    res.set_content_provider(
        size, "application/octet-stream",
        [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          std::vector<char> chunk(std::min(length, kFileChunk));
          file->seekg(static_cast<std::streamoff>(offset));
          file->read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
          if (file->gcount() <= 0) return false;
          sink.write(chunk.data(), static_cast<std::size_t>(file->gcount()));
          return true;
        });
  });
}

}  // namespace velmora::testing
