#pragma once
// The HTTPS front of a fake outside party: a server on 127.0.0.1 with the given certificate that
// records every request, hands it to the party's route function, and can be scripted to answer
// the next requests to a path with fixed answers instead. Free of any test framework, so a fake
// can also run in a process of its own.
//
// Every member may be called from any thread; the route runs on the server's threads, several at
// once, and must guard its own state.

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "testing/background_server.hpp"
#include "testing/tls_certificate.hpp"
#include "velmora/utils/http/http_client.hpp"

namespace velmora::testing {

// One request as the fake received it.
struct RecordedRequest {
  std::string method;
  std::string path;
  utils::HttpHeaders headers;  // names as sent
  std::string body;

  // The value of the first header of that name (in any letter case); empty when none.
  std::string header(std::string_view name) const;
  // The token of an "Authorization: Bearer <token>" header; empty when there is none.
  std::string bearer_token() const;
};

// Paths below prefix served from and into folder: a PUT streams its body into the file named by
// the rest of the path (letters, digits, '.', '-', '_'), a GET streams that file back. Neither
// body is held in memory or recorded, so files of any size pass.
struct FileStore {
  std::string prefix;  // "/storage/"
  std::filesystem::path folder;
};

// What a fake answers.
struct Answer {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  utils::HttpHeaders headers = {};  // beyond "Content-Type"
};

class FakeHttpsServer {
 public:
  using Route = std::function<Answer(const RecordedRequest&)>;

  static constexpr std::size_t kDefaultThreads = 32;

  // Serves at once, on threads worker threads (with one, requests are served one after
  // another, each connection closed after its answer); route must stay callable, and store's
  // folder in place, while this object lives.
  FakeHttpsServer(const TlsFiles& tls, Route route, std::optional<FileStore> store = {},
                  std::size_t threads = kDefaultThreads);
  FakeHttpsServer(const FakeHttpsServer&) = delete;
  FakeHttpsServer& operator=(const FakeHttpsServer&) = delete;
  ~FakeHttpsServer();  // stops serving and waits for the server's threads

  // "https://127.0.0.1:<port>".
  std::string url() const;
  // "127.0.0.1:<port>".
  std::string authority() const;

  // The next `times` requests to path are answered with answer, after those scripted before.
  void script(const std::string& path, const Answer& answer, int times = 1);

  // Requests to path are recorded and then held, unanswered, until release(path) or until this
  // object goes.
  void hold(const std::string& path);
  void release(const std::string& path);

  // How many requests came to path (scripted ones included).
  int calls(const std::string& path) const;
  // The requests so far, in the order they came: the last 10,000 at most. The bodies of file
  // store requests are left out.
  std::vector<RecordedRequest> requests() const;

 private:
  Answer answer(const RecordedRequest& request);
  // Records request and takes its scripted answer, when one is due.
  std::optional<Answer> record(const RecordedRequest& request);
  void serve_file_store(const FileStore& store);

  const Route route_;
  mutable std::mutex mutex_;
  std::deque<RecordedRequest> requests_;               // guarded by mutex_
  std::map<std::string, int> calls_;                   // guarded by mutex_
  std::map<std::string, std::deque<Answer>> scripted_;  // guarded by mutex_
  std::set<std::string> held_;                         // guarded by mutex_
  bool closing_ = false;                               // guarded by mutex_
  std::condition_variable released_;  // notified when a path is released or this object goes
  httplib::SSLServer server_;
  std::unique_ptr<BackgroundServer> running_;  // last: serving stops before the rest goes
};

}  // namespace velmora::testing
