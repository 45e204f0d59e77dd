#include "round_trip_marks.hpp"

#include <chrono>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::bench {
namespace {

constexpr const char* kTransferPaths[] = {"/transfer/sendfilereq", "/transfer/sendfilecom",
                                          "/transfer/receivefilereq", "/transfer/receivefilecom"};
// FakeHttpsServer keeps this many requests; the bench makes far fewer.
constexpr std::size_t kRequestsKept = 10'000;

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

RoadMarks::RoadMarks(const testing::FakeHttpsServer& backend, std::vector<WatchedFolder> folders)
    : backend_(backend), folders_(std::move(folders)), watcher_([this] { watch(); }) {}

RoadMarks::~RoadMarks() {
  stop_ = true;
  watcher_.join();
}

std::vector<Mark> RoadMarks::marks() const {
  std::lock_guard lock(mutex_);
  if (overflowed_) throw utils::RuntimeError("the backend took too many requests to tell new ones");
  return marks_;
}

void RoadMarks::watch() {
  std::vector<std::set<std::string>> seen(folders_.size());
  while (!stop_) {
    look_at_requests();
    for (std::size_t i = 0; i < folders_.size(); ++i) look_at(folders_[i], seen[i]);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The request list is copied only when a transfer request came: the counters are cheap to ask.
void RoadMarks::look_at_requests() {
  int calls = 0;
  for (const char* path : kTransferPaths) calls += backend_.calls(path);
  if (calls == transfer_calls_) return;
  const double seen_at = now();
  transfer_calls_ = calls;
  const std::vector<testing::RecordedRequest> requests = backend_.requests();
  std::lock_guard lock(mutex_);
  if (requests.size() >= kRequestsKept) overflowed_ = true;
  for (std::size_t i = requests_seen_; i < requests.size(); ++i) {
    if (!requests[i].path.starts_with("/transfer/")) continue;
    std::string device;
    try {
      device = utils::parse_json(requests[i].body).value("uuid", "");
    } catch (const utils::ValueError&) {
      // not a node's request: no device
    }
    marks_.push_back({seen_at, requests[i].path, std::move(device)});
  }
  requests_seen_ = requests.size();
}

void RoadMarks::look_at(WatchedFolder& folder, std::set<std::string>& seen) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path, error)) {
    std::string name = entry.path().filename();
    if (!seen.insert(name).second) continue;
    std::lock_guard lock(mutex_);
    marks_.push_back({now(), std::move(name), folder.name});
  }
}

}  // namespace velmora::bench
