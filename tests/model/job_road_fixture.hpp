#pragma once
// One node object on the fakes and the engine of the environment (NodeFixture), with the two peer
// clients of job::JobFixture sending it packages: kDeviceId, the owner of the jobs it lands, and
// kPeerId, the receiver of the jobs it launches. The images and containers of the node's landings
// are removed when the test ends.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "node_fixture.hpp"

namespace velmora::model {

class JobRoadFixture : public NodeFixture {
 protected:
  JobRoadFixture();
  ~JobRoadFixture() override;

  // Passes of the node's dispatcher until no package waits for it at the backend, each followed
  // by the wait for every handler and build it started.
  void pass(std::chrono::seconds limit = std::chrono::seconds(120));

  // Sends a package from the peer to the node; labels as Network::send_pkg takes them.
  static void send(networking::Network& peer, const std::optional<std::string>& subject,
                   const utils::Value& labels = utils::Value::object(),
                   const std::filesystem::path& attachment = {});

  // Takes every package waiting for the peer and removes their attachment folders: the summaries
  // of JobFixture::summaries.
  static std::vector<std::string> drain(networking::Network& peer);
  // The attachment folders of received packages left in the node's temporary folder.
  std::vector<std::string> attachments_left() const;
  // The messages logged on "velmora.model" at WARNING and above since the fixture was made.
  std::vector<std::string> warnings() const;

  // A folder named name in a folder of its own: testing::write_busybox_tar_job's job of steps,
  // and "input.txt" ("42\n"). Its image shares no layer with another test's.
  std::filesystem::path job_folder_named(std::string_view name, std::string_view steps);

  std::unique_ptr<Velmora> node_;

 private:
  std::vector<testing::ScopedFolder> job_folders_;
};

}  // namespace velmora::model
