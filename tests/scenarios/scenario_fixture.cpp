#include "tests/scenarios/scenario_fixture.hpp"

#include <fstream>
#include <random>
#include <sstream>

#include "testing/eventually.hpp"
#include "testing/job_folder.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/networking/package/zip_archive.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::scenarios {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kUsers{"alice", "bob", "carol"};

Statuses statuses(const utils::Value& record) {
  Statuses found;
  for (const utils::Value& entry : record.at("status_history"))
    found.push_back(entry.at(0).get<std::string>());
  return found;
}

// Writes the files given (name, content) into folder, made when missing; answers it.
fs::path write_files(const fs::path& folder,
                     const std::vector<std::pair<std::string, std::string>>& files) {
  fs::create_directories(folder);
  for (const auto& [file, content] : files)
    std::ofstream(folder / file, std::ios::binary) << content;
  return folder;
}

// A tag of lower-case hex digits, fresh for each test process.
std::string unique_word() {
  std::random_device random;
  std::ostringstream word;
  word << std::hex << random() << random();
  return word.str();
}

}  // namespace

Statuses launch_statuses(HarnessedNode& node, const std::string& job_id) {
  const auto record = node.try_ask("launch " + job_id);
  return record ? statuses(*record) : Statuses{};
}

Statuses landing_statuses(HarnessedNode& node, const std::string& job_id) {
  const auto record = node.try_ask("landing " + job_id);
  return record ? statuses(*record) : Statuses{};
}

std::string joined(const Statuses& statuses) {
  std::string text;
  for (const std::string& status : statuses) text += "\"" + status + "\" ";
  return text;
}

std::string last(const Statuses& statuses) { return statuses.empty() ? "" : statuses.back(); }

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string file_text(const HarnessedNode& node, const std::string& name) {
  return read_text(node.folder() / name);
}

std::set<std::string> names_in(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

ScenarioFixture::ScenarioFixture()
    : label_("velmora.scenario=" + unique_word()),
      record_folder_(folder_.path() / "record") {
  fs::create_directories(record_folder_);
  fs::create_directories(folder_.path() / "backend");
  fakes_ = std::make_unique<testing::FakesProcess>(FAKE_BACKEND_PATH, kUsers,
                                                   folder_.path() / "backend", record_folder_);
}

ScenarioFixture::~ScenarioFixture() {
  try {
    for (const utils::Value& container : engine_.list_containers({{"label", label_}}, true))
      janitor_.container(container.at("Id").get<std::string>());
  } catch (const std::exception&) {
    // the engine is gone: nothing to remove
  }
}

std::unique_ptr<HarnessedNode> ScenarioFixture::start_node(
    const std::string& user, const std::map<std::string, std::string>& extra_environment,
    const std::vector<std::string>& extra_args) {
  std::map<std::string, std::string> environment = extra_environment;
  environment.insert(fakes_->node_environment().begin(), fakes_->node_environment().end());
  std::vector<std::string> args{"--refresh-token", "refresh-" + user, "--backend",
                                fakes_->backend_url(), "--file-query", "1", "--container-query",
                                "1", "--keepalive", "600"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  auto node = std::make_unique<HarnessedNode>(NODE_HARNESS_PATH, args, folder_.path() / user,
                                              folder_.path() / (user + "-tmp"), environment);
  node->ask("register");
  return node;
}

fs::path ScenarioFixture::job_folder(const std::string& name, const std::string& dockerfile,
                                     const std::vector<std::pair<std::string, std::string>>& files) {
  const fs::path folder = write_files(folder_.path() / "jobs" / name, files);
  std::ofstream(folder / "Dockerfile", std::ios::binary) << dockerfile;
  return folder;
}

fs::path ScenarioFixture::busybox_job(const std::string& name, const std::string& steps,
                                      const std::vector<std::pair<std::string, std::string>>& files) {
  return testing::write_busybox_tar_job(write_files(folder_.path() / "jobs" / name, files), label_,
                                        std::string(testing::kInstallBusyboxPrograms) + steps);
}

std::vector<testing::RecordedRequest> ScenarioFixture::requests() const {
  return testing::recorded_requests(record_folder_);
}

std::vector<testing::RecordedPackage> ScenarioFixture::packages() const {
  return testing::recorded_packages(record_folder_);
}

std::vector<testing::RecordedPackage> ScenarioFixture::logs() const {
  return testing::recorded_logs(record_folder_);
}

std::vector<std::string> ScenarioFixture::status_reports(const std::string& id) const {
  std::vector<std::string> reports;
  for (const auto& request : requests()) {
    if (request.path != "/lobby/selfstatus") continue;
    const utils::Value body = utils::parse_json(request.body);
    if (body.value("uuid", "") == id) reports.push_back(body.value("status_type", ""));
  }
  return reports;
}

std::vector<std::string> ScenarioFixture::job_packages(const std::string& from,
                                                       const std::string& to) const {
  std::vector<std::string> found;
  for (const auto& package : packages()) {
    if (package.from != from || package.to != to) continue;
    const utils::Value label =
        open_package(package.file, folder_.path() / "opened").label;
    std::string summary = label.value("subject", "");
    if (summary.starts_with("friend_")) continue;
    if (summary == "job_update") summary.append(" ").append(label.value("status", ""));
    found.push_back(std::move(summary));
  }
  return found;
}

void ScenarioFixture::make_friends(HarnessedNode& alice, HarnessedNode& bob) {
  ASSERT_EQ(bob.ask("declare_friend " + alice.id_hex()), true);
  ASSERT_TRUE(testing::eventually([&] {
    return file_text(alice, "accepted_requests.bin").find(bob.id()) != std::string::npos;
  }));
}

fs::path ScenarioFixture::sim_folder() {
  return busybox_job("sim.v1", kSimSteps, {{"input.txt", "42\n"}});
}

std::string ScenarioFixture::send_job(HarnessedNode& from, const HarnessedNode& to,
                                      const fs::path& job) {
  const std::string job_id = from.ask("send " + to.id_hex() + " " + job.string());
  janitor_.image(job.stem().string() + ":" + job_id);
  return job_id;
}

bool ScenarioFixture::engine_has_container(const std::string& id) const {
  try {
    engine_.inspect_container(id);
    return true;
  } catch (const boxwright::engine::NotFoundError&) {
    return false;
  }
}

PackageView open_package(const fs::path& package, const fs::path& work) {
  fs::create_directories(work);
  PackageView view;
  networking::package::ZipReader reader(package);
  for (std::size_t i = 0; i < reader.size(); ++i) {
    std::string data;
    reader.read(i, [&](std::string_view chunk) { data.append(chunk); });
    if (reader.name(i) == "label.json") view.label = utils::parse_json(data);
    if (reader.name(i) != "attachment.zip") continue;
    const fs::path attachment = work / "attachment.zip";
    std::ofstream(attachment, std::ios::binary) << data;
    networking::package::ZipReader inner(attachment);
    for (std::size_t j = 0; j < inner.size(); ++j) view.attachment_names.push_back(inner.name(j));
  }
  return view;
}

bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  auto line = lines.begin();
  for (const std::string& one : wanted) {
    line = std::find(line, lines.end(), one);
    if (line == lines.end()) return false;
    ++line;
  }
  return true;
}

}  // namespace velmora::scenarios
