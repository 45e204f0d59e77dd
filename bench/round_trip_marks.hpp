#pragma once
// What the round-trip bench sees of the job road from outside the nodes, each stamped when it is
// seen (a watcher thread looks every millisecond): the backend's transfer requests, and the names
// that appear in folders of the nodes (their temporary folders, the sender's results folder).
// Every member may be called from any thread.

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/fake_https_server.hpp"

namespace velmora::bench {

struct Mark {
  double time;        // seconds since the epoch, as the nodes stamp statuses
  std::string what;   // a request's path ("/transfer/sendfilecom"), or the name that appeared
  std::string where;  // the requesting device's id, or the name given to the folder
};

// A folder to watch for new names, and the name its marks carry.
struct WatchedFolder {
  std::filesystem::path path;
  std::string name;
};

class RoadMarks {
 public:
  // backend and the folders must stay in place while this object lives.
  RoadMarks(const testing::FakeHttpsServer& backend, std::vector<WatchedFolder> folders);
  RoadMarks(const RoadMarks&) = delete;
  RoadMarks& operator=(const RoadMarks&) = delete;
  ~RoadMarks();  // stops the watcher

  // The marks so far, in the order they were seen. RuntimeError once the backend has taken more
  // requests than it keeps, when new ones can no longer be told from old ones.
  std::vector<Mark> marks() const;

 private:
  void watch();
  void look_at_requests();
  void look_at(WatchedFolder& folder, std::set<std::string>& seen);

  const testing::FakeHttpsServer& backend_;
  std::vector<WatchedFolder> folders_;
  int transfer_calls_ = 0;         // the watcher's alone
  std::size_t requests_seen_ = 0;  // the watcher's alone
  mutable std::mutex mutex_;
  std::vector<Mark> marks_;  // guarded by mutex_
  bool overflowed_ = false;  // guarded by mutex_
  std::atomic<bool> stop_ = false;
  std::thread watcher_;  // last: started once the rest is in place
};

}  // namespace velmora::bench
