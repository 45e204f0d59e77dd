#include "tests/scenarios/scenario_fixture.hpp"

#include <fstream>
#include <random>
#include <sstream>

#include "testing/eventually.hpp"
#include "testing/tar_writer.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/networking/package/zip_archive.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::scenarios {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kUsers{"alice", "bob", "carol"};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string text_of_hex(const std::string& hex) {
  std::string text;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return text;
}

std::vector<std::string> statuses(const utils::Value& record) {
  std::vector<std::string> found;
  for (const utils::Value& entry : record.at("status_history"))
    found.push_back(entry.at(0).get<std::string>());
  return found;
}

// A tag of lower-case hex digits, fresh for each test process.
std::string unique_word() {
  std::random_device random;
  std::ostringstream word;
  word << std::hex << random() << random();
  return word.str();
}

}  // namespace

NodeProcess::NodeProcess(std::string user, fs::path folder, fs::path temp_dir,
                         std::unique_ptr<testing::ChildProcess> process)
    : user_(std::move(user)),
      folder_(std::move(folder)),
      temp_dir_(std::move(temp_dir)),
      process_(std::move(process)) {
  const std::optional<std::string> ready = process_->read_line(120s);
  if (ready != "ready")
    throw std::runtime_error(user_ + "'s node did not start: " + process_->standard_error());
  id_hex_ = ask("id").get<std::string>();
  id_ = text_of_hex(id_hex_);
  ask("register");
}

std::string NodeProcess::answer_line(const std::string& command) {
  process_->write_line(command);
  return process_->read_line(60s).value_or("");
}

utils::Value NodeProcess::ask(const std::string& command) {
  if (auto value = try_ask(command)) return std::move(*value);
  throw std::runtime_error(user_ + "'s node refused \"" + command + "\": " + process_->standard_error());
}

std::optional<utils::Value> NodeProcess::try_ask(const std::string& command) {
  const std::string line = answer_line(command);
  if (line.starts_with("error ")) return std::nullopt;
  if (!line.starts_with("ok "))
    throw std::runtime_error(user_ + "'s node answered \"" + command + "\" with \"" + line + "\"");
  return utils::parse_json(std::string_view(line).substr(3));
}

std::vector<std::string> NodeProcess::launch_statuses(const std::string& job_id) {
  const auto record = try_ask("launch " + job_id);
  return record ? statuses(*record) : std::vector<std::string>{};
}

std::vector<std::string> NodeProcess::landing_statuses(const std::string& job_id) {
  const auto record = try_ask("landing " + job_id);
  return record ? statuses(*record) : std::vector<std::string>{};
}

std::vector<std::string> NodeProcess::log() const {
  std::vector<std::string> lines;
  std::istringstream text(process_->standard_error());
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

bool NodeProcess::logged(const std::string& line) const {
  const std::vector<std::string> lines = log();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string NodeProcess::file_text(const std::string& name) const {
  return read_file(folder_ / name);
}

std::vector<std::string> NodeProcess::temp_names() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(temp_dir_))
    names.push_back(entry.path().filename());
  return names;
}

ScenarioFixture::ScenarioFixture()
    : label_("velmora.scenario=" + unique_word()),
      record_folder_(folder_.path() / "record") {
  fs::create_directories(record_folder_);
  std::vector<std::string> args;
  for (const std::string& user : kUsers) args.insert(args.end(), {"--user", user, "refresh-" + user});
  args.insert(args.end(), {"--record", record_folder_.string()});
  fs::create_directories(folder_.path() / "backend");
  backend_ = std::make_unique<testing::ChildProcess>(FAKE_BACKEND_PATH, args,
                                                     folder_.path() / "backend");
  const bool served = testing::eventually(
      [&] { return backend_->standard_output().find("(user carol)") != std::string::npos; }, 60s);
  if (!served) throw std::runtime_error("the fake backend did not start");
  std::istringstream output(backend_->standard_output());
  for (std::string line; std::getline(output, line);) {
    if (line.starts_with("backend ")) backend_url_ = line.substr(8);
    if (const auto equals = line.find('='); line.starts_with("VELMORA_"))
      node_environment_[line.substr(0, equals)] = line.substr(equals + 1);
  }
  node_environment_["no_proxy"] = node_environment_["NO_PROXY"] = "127.0.0.1,localhost";
}

ScenarioFixture::~ScenarioFixture() {
  try {
    for (const utils::Value& container : engine_.list_containers({{"label", label_}}, true))
      janitor_.container(container.at("Id").get<std::string>());
  } catch (const std::exception&) {
    // the engine is gone: nothing to remove
  }
}

std::unique_ptr<NodeProcess> ScenarioFixture::start_node(const std::string& user) {
  const fs::path folder = folder_.path() / user;
  const fs::path temp_dir = folder_.path() / (user + "-tmp");
  fs::create_directories(folder);
  fs::create_directories(temp_dir);
  std::map<std::string, std::string> environment = node_environment_;
  environment["TMPDIR"] = temp_dir.string();
  auto process = std::make_unique<testing::ChildProcess>(
      NODE_HARNESS_PATH,
      std::vector<std::string>{"--folder", folder.string(), "--refresh-token", "refresh-" + user,
                               "--backend", backend_url_, "--file-query", "1",
                               "--container-query", "1", "--keepalive", "600"},
      folder, environment, true);
  return std::make_unique<NodeProcess>(user, folder, temp_dir, std::move(process));
}

fs::path ScenarioFixture::job_folder(const std::string& name, const std::string& dockerfile,
                                     const std::vector<std::pair<std::string, std::string>>& files) {
  const fs::path folder = folder_.path() / "jobs" / name;
  fs::create_directories(folder);
  std::ofstream(folder / "Dockerfile", std::ios::binary) << dockerfile;
  for (const auto& [file, content] : files) std::ofstream(folder / file, std::ios::binary) << content;
  return folder;
}

fs::path ScenarioFixture::busybox_job(const std::string& name, const std::string& steps,
                                      const std::vector<std::pair<std::string, std::string>>& files) {
  const fs::path folder = job_folder(
      name,
      "FROM scratch\nLABEL " + label_ +
          "\nADD busybox.tar /\nRUN [\"/bin/busybox\",\"--install\",\"-s\",\"/bin\"]\n" +
          steps,
      files);
  // In a tar, which the engine unpacks with its modes: a received job folder keeps none.
  std::ofstream(folder / "busybox.tar", std::ios::binary)
      << testing::TarWriter().folder("bin").file("bin/busybox", read_file("/bin/busybox"), 0755)
             .bytes();
  return folder;
}

std::vector<testing::RecordedRequest> ScenarioFixture::requests() const {
  return testing::recorded_requests(record_folder_);
}

std::vector<testing::RecordedPackage> ScenarioFixture::packages() const {
  return testing::recorded_packages(record_folder_);
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
    if (summary == "job_update") summary += " " + label.value("status", "");
    found.push_back(std::move(summary));
  }
  return found;
}

std::string ScenarioFixture::send_job(NodeProcess& from, const NodeProcess& to,
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
