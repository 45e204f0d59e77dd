// The node's persisted user data: loading it, wiping it and clearing the job histories.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "velmora/model/key_files.hpp"
#include "velmora/model/machine_id.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/tree_removal.hpp"

namespace velmora::model {
namespace {

// The stores' fixed file names; the groups and friends stores take theirs from the settings.
constexpr const char* kMachineIdFile = "mid.bin";
constexpr const char* kLaunchesFile = "launches.bin";
constexpr const char* kLandingsFile = "landings.bin";
constexpr const char* kInboundRequestsFile = "inbound_requests.bin";
constexpr const char* kPendingRequestsFile = "pending_requests.bin";
constexpr const char* kAcceptedRequestsFile = "accepted_requests.bin";
constexpr const char* kRejectedRequestsFile = "rejected_requests.bin";
constexpr const char* kFriendRemovalsFile = "friend_removals.bin";
constexpr const char* kGroupInvitationsFile = "group_invitations.bin";
constexpr const char* kGroupRequestsFile = "group_requests.bin";
constexpr const char* kGroupRemovalsFile = "group_removals.bin";
constexpr const char* kOwnedGroupsFile = "owned_groups.bin";

// Opens the store over file, empty when the file is missing; a store already open is reloaded in
// place, prepare (when given) seeing the value read before it becomes live.
template <class T>
void load_store(std::optional<Store<T>>& store, const std::filesystem::path& file,
                const std::function<void(T&)>& prepare = nullptr) {
  const auto empty = [] { return T(); };
  if (store)
    store->reload(empty, prepare);
  else
    store.emplace(file, empty);
}

template <class Records>
void bind_records(Records& records, const std::shared_ptr<networking::Network>& network) {
  for (const auto& [job_id, record] : records) record->bind(network);
}

// Makes the one folder (not its parents) when nothing is at its name; a file of that name is
// left alone.
void make_results_folder(const std::string& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) == 0) return;
  if (errno != ENOENT) throw utils::OSError(errno, folder);
  LOG.info("Creating results folder at %s", folder);
  if (::mkdir(folder.c_str(), 0777) != 0) throw utils::OSError(errno, folder);
}

// Removes the folder with everything below it, never following a link. OSError when it is
// missing or no folder (a link to one included).
void remove_results_folder(const std::string& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) throw utils::OSError(errno, folder);
  if (!S_ISDIR(info.st_mode)) throw utils::OSError(ENOTDIR, folder);
  utils::remove_tree(folder);
}

}  // namespace

void Velmora::load_user_data() {
  KeyPair keys = load_key_pair(settings_.pub_key_file, settings_.priv_key_file);
  {
    std::lock_guard lock(keys_mutex_);
    pub_key_ = keys.pub_key;
    priv_key_ = keys.priv_key;
  }

  if (machine_id_)
    machine_id_->reload(new_machine_id);
  else
    machine_id_.emplace(kMachineIdFile, new_machine_id);
  utils::Bytes machine_id = machine_id_->snapshot();
  check_machine_id(machine_id, kMachineIdFile);
  auto device = std::make_shared<device::LocalDevice>(std::move(machine_id), std::move(keys.pub_key),
                                                      std::move(keys.priv_key));
  {
    std::lock_guard lock(keys_mutex_);
    device_ = std::move(device);
  }

  // A record read back by a reload sends through the node's client, as every other does.
  const std::function<void(job::Launches&)> bind_launches = [this](job::Launches& launches) {
    bind_records(launches, network_);
  };
  const std::function<void(job::Landings&)> bind_landings = [this](job::Landings& landings) {
    bind_records(landings, network_);
  };
  load_store(groups_, settings_.groups_file);
  load_store(launches_, kLaunchesFile, bind_launches);
  load_store(landings_, kLandingsFile, bind_landings);
  load_store(friends_, settings_.friends_file);
  make_results_folder(settings_.results_folder);
  load_store(inbound_requests_, kInboundRequestsFile);
  load_store(pending_requests_, kPendingRequestsFile);
  load_store(accepted_requests_, kAcceptedRequestsFile);
  load_store(rejected_requests_, kRejectedRequestsFile);
  load_store(friend_removals_, kFriendRemovalsFile);
  load_store(group_invitations_, kGroupInvitationsFile);
  load_store(group_requests_, kGroupRequestsFile);
  load_store(group_removals_, kGroupRemovalsFile);
  load_store(owned_groups_, kOwnedGroupsFile);
}

void Velmora::bind_job_records() {
  launches_->with([this](job::Launches& launches) { bind_records(launches, network_); });
  landings_->with([this](job::Landings& landings) { bind_records(landings, network_); });
}

void Velmora::refresh_user_data() {
  // The protocol locks keep a friend or group step from writing into a store while the stores
  // are reset.
  threads_->while_paused([this] {
    friends_protocol_->while_locked(
        [this] { groups_protocol_->while_locked([this] { wipe_user_data(); }); });
  });
}

void Velmora::wipe_user_data() {
  // Each file goes under its store's lock; a store keeps its value until the load below.
  groups_->remove_file();
  friends_->remove_file();
  landings_->remove_file();
  launches_->remove_file();
  inbound_requests_->remove_file();
  pending_requests_->remove_file();
  accepted_requests_->remove_file();
  rejected_requests_->remove_file();
  friend_removals_->remove_file();
  group_invitations_->remove_file();
  group_requests_->remove_file();
  group_removals_->remove_file();
  owned_groups_->remove_file();
  remove_results_folder(settings_.results_folder);
  load_user_data();
}

void Velmora::clear_launch_history() {
  launches_->with([](job::Launches& launches) { launches.clear(); });
  launches_->dump();
}

void Velmora::clear_landing_history() {
  landings_->with([](job::Landings& landings) { landings.clear(); });
  landings_->dump();
}

}  // namespace velmora::model
