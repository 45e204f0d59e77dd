#include "job_road_fixture.hpp"

#include <fstream>

#include "testing/eventually.hpp"
#include "testing/job_folder.hpp"

namespace velmora::model {

JobRoadFixture::JobRoadFixture() {
  lay_down_node_identity();
  node_ = make_node();
}

JobRoadFixture::~JobRoadFixture() {
  if (!node_) return;
  const job::Landings landings = node_->landings().snapshot();
  node_.reset();  // its handlers have ended: the ids below are final
  for (const auto& [job_id, lander] : landings) {
    if (const auto id = lander->cntr_id()) janitor_.container(*id);
    if (const auto id = lander->img_id()) janitor_.image(*id);
  }
}

void JobRoadFixture::pass(std::chrono::seconds limit) {
  // A pass ends once the handlers are full; the next one takes what still waits.
  for (int passes = 0; passes < 100; ++passes) {
    node_->handle_received_files();
    ASSERT_TRUE(node_->wait_for_handlers(limit));
    if (backend_.queued(kNodeId) == 0) return;
  }
}

void JobRoadFixture::send(networking::Network& peer, const std::optional<std::string>& subject,
                          const utils::Value& labels, const std::filesystem::path& attachment) {
  peer.send_pkg(kNodeId, subject, attachment, labels);
}

std::vector<std::string> JobRoadFixture::drain(networking::Network& peer) {
  const auto packages = packages_for(peer);
  for (const auto& package : packages)
    if (package.attachment) std::filesystem::remove_all(*package.attachment);
  return summaries(packages);
}

std::vector<std::string> JobRoadFixture::attachments_left() const {
  std::vector<std::string> left;
  for (std::string& name : node_temp_names())
    if (name.starts_with("velmora-attachment-")) left.push_back(std::move(name));
  return left;
}

std::vector<std::string> JobRoadFixture::warnings() const {
  std::vector<std::string> found;
  for (const auto& record : log_.records())
    if (record.level >= utils::log::kWarning) found.push_back(record.message);
  return found;
}

std::filesystem::path JobRoadFixture::job_folder_named(std::string_view name,
                                                       std::string_view steps) {
  const std::filesystem::path folder = testing::write_busybox_tar_job(
      job_folders_.emplace_back().path() / "jobs" / name, "velmora.test=" + job::Job::_make_id(),
      steps);
  std::ofstream(folder / "input.txt") << "42\n";
  return folder;
}

}  // namespace velmora::model
