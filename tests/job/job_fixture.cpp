#include "job_fixture.hpp"

#include "testing/job_folder.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/networking/network_error.hpp"

namespace velmora::job {

JobFixture::JobFixture()
    : launch_node_(make_network()),
      landing_node_(make_peer_network()),
      engine_(boxwright::engine::EngineClient::from_env()),
      janitor_(engine_) {}

JobFixture::~JobFixture() {
  for (const auto& lander : landers_) {
    if (const auto id = lander->cntr_id()) janitor_.container(*id);
    if (const auto id = lander->img_id()) janitor_.image(*id);
  }
}

std::shared_ptr<Lander> JobFixture::make_lander(const std::filesystem::path& folder,
                                                const std::optional<std::string>& id,
                                                bool update_recvd) {
  return landers_.emplace_back(std::make_shared<Lander>(
      folder, "Test Job", kDeviceId, kPeerId, landing_node_, id, update_recvd));
}

std::shared_ptr<Launcher> JobFixture::make_launcher(const std::filesystem::path& folder) {
  return std::make_shared<Launcher>(folder, folder.stem().string(), kDeviceId, kPeerId,
                                    launch_node_);
}

std::vector<ReceivedPackage> JobFixture::packages_for(networking::Network& node) {
  return networking::waiting_packages(node);
}

std::vector<std::string> JobFixture::summaries(const std::vector<ReceivedPackage>& packages) {
  std::vector<std::string> found;
  for (const ReceivedPackage& package : packages) {
    std::string summary = package.label.value("subject", "");
    if (summary == "job_update") summary.append(" ").append(package.label.value("status", ""));
    found.push_back(std::move(summary));
  }
  return found;
}

std::vector<std::string> JobFixture::statuses(const Job& record) {
  std::vector<std::string> found;
  for (const auto& [status, time] : record.status_history()) found.push_back(status);
  return found;
}

testing::ScopedFolder JobFixture::job_folder(std::string_view steps) {
  return testing::make_job_folder("FROM scratch\nLABEL velmora.test=" + Job::_make_id() +
                                  "\nCOPY busybox /bin/busybox\n" + std::string(steps));
}

std::string JobFixture::engine_state(const std::string& cntr_id) const {
  return engine_.inspect_container(cntr_id)["State"]["Status"].get<std::string>();
}

bool JobFixture::engine_has(const std::string& cntr_id) const {
  try {
    engine_.inspect_container(cntr_id);
    return true;
  } catch (const boxwright::engine::NotFoundError&) {
    return false;
  }
}

}  // namespace velmora::job
