#pragma once
// A node object in a working folder of its own, on the fakes of the backend and the identity
// provider and the Docker engine of the environment (job::JobFixture: the launch node kDeviceId
// owns the landings, the landing node kPeerId runs them). The node's identity can be laid down
// beforehand (kNodeId, with a key pair the fake backend knows), so that what it reports while it
// is built is accepted.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/job/job_fixture.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::model {

inline const std::string kNodeId = "5d1c7e2a-0b9f-4e83-a6d4-c3f2e1b0a987";

// The store files that every load writes, in the order they are opened ("mid.bin" first), with the
// fixture's file names of the groups and friends stores.
inline const std::vector<std::string> kStoreFiles{
    "mid.bin", "groups.bin", "launches.bin", "landings.bin", "friends.bin",
    "inbound_requests.bin", "pending_requests.bin", "accepted_requests.bin",
    "rejected_requests.bin", "friend_removals.bin", "group_invitations.bin",
    "group_requests.bin", "group_removals.bin", "owned_groups.bin"};

// The text of the E that call throws; a test failure, and "", when it throws none.
template <class E, class Call>
std::string error_text(Call call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return "";
}

// The error number of the OSError that call throws; a test failure, and 0, when it throws none.
template <class Call>
int os_error_number(Call call) {
  try {
    call();
  } catch (const utils::OSError& e) {
    return e.error_number();
  }
  ADD_FAILURE() << "no OSError";
  return 0;
}

class NodeFixture : public job::JobFixture {
 protected:
  NodeFixture();
  ~NodeFixture() override;

  // Settings on the fakes, with the store file names of kStoreFiles.
  NodeSettings settings() const;
  // A node built with settings and the given keepalive period.
  std::unique_ptr<Velmora> make_node(const NodeSettings& settings, std::int64_t keepalive = 30);
  std::unique_ptr<Velmora> make_node() { return make_node(settings()); }

  // Writes "priv.key", "pub.key" and "mid.bin" (kNodeId) of a key pair the backend knows.
  void lay_down_node_identity() const;

  // The messages logged on "velmora.model" since the fixture was made, without their levels.
  std::vector<std::string> model_log() const;
  // Whether something is at the name in the working folder.
  bool exists(const std::string& name) const;
  // The node's temporary folder, and the names in it but its marker, sorted.
  std::filesystem::path node_temp_dir() const { return work_ / kTempFolderName; }
  std::vector<std::string> node_temp_names() const;
  // The "status_type" of each status report the backend received, in order.
  std::vector<std::string> status_reports() const;

  std::filesystem::path work_;  // the node's working folder, the current directory meanwhile
  utils::log::LogCapture log_{"velmora.model"};

 private:
  std::filesystem::path previous_directory_;
};

}  // namespace velmora::model
