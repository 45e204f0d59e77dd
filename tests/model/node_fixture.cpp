#include "node_fixture.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "velmora/sealcraft/keys.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::model {
namespace {

const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                std::shared_ptr<const sealcraft::PublicKey>>&
node_identity_keys() {
  static const auto pair = sealcraft::make_keys();
  return pair;
}

void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

NodeFixture::NodeFixture()
    : work_(folder_.path() / "work"), previous_directory_(std::filesystem::current_path()) {
  std::filesystem::create_directory(work_);
  std::filesystem::current_path(work_);
  backend_.set_device_key(kNodeId, node_identity_keys().second);
}

NodeFixture::~NodeFixture() { std::filesystem::current_path(previous_directory_); }

NodeSettings NodeFixture::settings() const {
  NodeSettings settings;
  settings.groups_file = "groups.bin";
  settings.friends_file = "friends.bin";
  settings.backend_url = backend_.url();
  return settings;
}

std::unique_ptr<Velmora> NodeFixture::make_node(const NodeSettings& settings,
                                                std::int64_t keepalive) {
  return std::make_unique<Velmora>(networking::kRefreshToken, settings, keepalive, idp_->url());
}

void NodeFixture::lay_down_node_identity() const {
  write_file(work_ / "priv.key", node_identity_keys().first->export_().view());
  write_file(work_ / "pub.key", node_identity_keys().second->export_().view());
  write_file(work_ / "mid.bin", kNodeId);
}

std::vector<std::string> NodeFixture::model_log() const {
  std::vector<std::string> messages;
  for (const auto& record : log_.records()) messages.push_back(record.message);
  return messages;
}

bool NodeFixture::exists(const std::string& name) const {
  return std::filesystem::exists(std::filesystem::symlink_status(work_ / name));
}

std::vector<std::string> NodeFixture::node_temp_names() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(node_temp_dir()))
    if (entry.path().filename() != ".node") names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> NodeFixture::status_reports() const {
  std::vector<std::string> reports;
  for (const auto& request : requests_to("/lobby/selfstatus"))
    reports.push_back(utils::parse_json(request.body).value("status_type", ""));
  return reports;
}

}  // namespace velmora::model
