#include "velmora/model/velmora.hpp"

#include <algorithm>
#include <utility>

#include "velmora/boxwright/engine_probe.hpp"
#include "velmora/model/log_levels.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/utils/runtime/log.hpp"
#include "velmora/utils/runtime/poll.hpp"

namespace velmora::model {
namespace {

// The libraries' loggers are held at WARNING from the start of the process, before any node is
// built, whatever level a node then configures.
[[maybe_unused]] const bool kLibraryLoggersHeld = (hold_library_loggers(), true);

// The settings, once each poll period is one a poll takes.
NodeSettings checked(NodeSettings settings, std::int64_t keepalive_interval) {
  for (const auto& [name, seconds] : {std::pair{"file_query_interval", settings.file_query_interval},
                                      std::pair{"container_query_interval",
                                                settings.container_query_interval},
                                      std::pair{"device_list_interval",
                                                settings.device_list_interval},
                                      std::pair{"keepalive_interval", keepalive_interval}})
    utils::Poll::check_interval(static_cast<double>(seconds), name);
  return settings;
}

}  // namespace

Velmora::Velmora(std::string refresh_token, NodeSettings settings,
                 std::int64_t keepalive_interval, std::string identity_provider)
    : settings_(checked(std::move(settings), keepalive_interval)),
      keepalive_interval_(keepalive_interval),
      docker_is_running_(boxwright::is_awake()) {
  utils::log::configure_logging(log_level(settings_.log_level), settings_.log_file.value_or(""));
  LOG.info("Instantiating Velmora");
  if (docker_is_running_) {
    LOG.info("Docker is running!");
  } else {
    // Probed once for the node's life: an engine started later is not seen.
    LOG.warning("No container engine answered at DOCKER_HOST %s: friends' jobs will be rejected; "
                "restart velmorad once the engine runs",
                boxwright::engine_host());
  }
  temp_folder_.emplace(std::filesystem::absolute(kTempFolderName));
  inbox_.emplace(std::filesystem::absolute(kInboxFolderName));
  load_user_data();
  temp_folder_->clear(job_folders_in_use());
  for (std::filesystem::path& left : inbox_->packages()) inbox_left_.push_back(std::move(left));
  network_ = std::make_shared<networking::Network>(settings_.backend_url, std::move(refresh_token),
                                                   device(), std::move(identity_provider),
                                                   temp_folder_->path(), inbox_->path());
  friends_protocol_ = std::make_unique<FriendProtocol>(
      network_, FriendStores{*friends_, *inbound_requests_, *pending_requests_,
                             *accepted_requests_, *rejected_requests_, *friend_removals_});
  groups_protocol_ = std::make_unique<GroupProtocol>(
      network_, GroupStores{*groups_, *group_invitations_, *group_requests_, *group_removals_,
                            *owned_groups_});
  bind_job_records();
  take_up_launches();
  take_up_landings();
  create_threads();
}

Velmora::~Velmora() {
  // The members then go in reverse order: the polls end, the handlers are waited for, and the
  // builds under way; a build not yet begun does nothing, its landing stored as "Received".
  closing_ = true;
}

void Velmora::start_threads() {
  std::vector<std::shared_ptr<job::Lander>> resumed;
  {
    std::lock_guard lock(resumed_mutex_);
    resumed.swap(resumed_);
  }
  for (const auto& lander : resumed) start_build(lander);
  threads_->start();
}

bool Velmora::wait_for_handlers(std::chrono::steady_clock::duration grace) const {
  const auto deadline = std::chrono::steady_clock::now() + grace;
  // The handlers first: they may start builds.
  return handlers_.wait_idle_for(grace) &&
         builds_.wait_idle_for(std::max(deadline - std::chrono::steady_clock::now(),
                                        std::chrono::steady_clock::duration::zero()));
}

std::shared_ptr<const sealcraft::PublicKey> Velmora::pub_key() const {
  std::lock_guard lock(keys_mutex_);
  return pub_key_;
}

std::shared_ptr<const sealcraft::PrivateKey> Velmora::priv_key() const {
  std::lock_guard lock(keys_mutex_);
  return priv_key_;
}

std::shared_ptr<device::LocalDevice> Velmora::device() const {
  std::lock_guard lock(keys_mutex_);
  return device_;
}

void Velmora::create_threads() {
  const auto seconds = [](std::int64_t interval) { return static_cast<double>(interval); };
  const std::shared_ptr<networking::Network> network = network_;
  std::vector<UpdateThreads::Task> tasks;
  tasks.push_back({"file-query", [this] { handle_received_files(); },
                   seconds(settings_.file_query_interval)});
  if (docker_is_running_)
    tasks.push_back({"container-query", [this] { handle_exited_containers(); },
                     seconds(settings_.container_query_interval)});
  tasks.push_back({"device-list", [network] { network->update_devices(); },
                   seconds(settings_.device_list_interval)});
  tasks.push_back({"keepalive", [network] { network->set_status(device::DeviceStatus::ONLINE); },
                   seconds(keepalive_interval_)});
  threads_ = std::make_unique<UpdateThreads>(
      std::move(tasks), [network](device::DeviceStatus status) { network->set_status(status); });
}

}  // namespace velmora::model
