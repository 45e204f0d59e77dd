#include "testing/harnessed_node.hpp"

#include "testing/eventually.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::testing {
namespace {

std::string text_of_hex(const std::string& hex) {
  std::string text;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return text;
}

std::unique_ptr<ChildProcess> start(const std::filesystem::path& program,
                                    std::vector<std::string> args,
                                    const std::filesystem::path& folder,
                                    const std::filesystem::path& temp_dir,
                                    const std::map<std::string, std::string>& environment) {
  args.insert(args.begin(), {"--folder", folder.string()});
  return start_with_temp_dir(program, args, folder, temp_dir, environment, true);
}

}  // namespace

HarnessedNode::HarnessedNode(const std::filesystem::path& program,
                             const std::vector<std::string>& args,
                             const std::filesystem::path& folder,
                             const std::filesystem::path& temp_dir,
                             const std::map<std::string, std::string>& extra_environment)
    : folder_(folder),
      temp_dir_(temp_dir),
      process_(start(program, args, folder, temp_dir, extra_environment)) {
  if (process_->read_line(kUnderLoad) != "ready")
    throw utils::RuntimeError("the node in " + folder.string() + " did not start: " + log());
  id_hex_ = ask("id").get<std::string>();
  id_ = text_of_hex(id_hex_);
}

HarnessedNode::~HarnessedNode() {
  try {
    process_->write_line("quit");
    process_->read_line(kUnderLoad);
    process_->wait_for_exit();
  } catch (const std::exception&) {
    // gone already: the child process object reaps it
  }
}

utils::Value HarnessedNode::ask(const std::string& command) {
  const std::string answer = answer_line(command);
  if (!answer.starts_with("ok "))
    throw utils::RuntimeError("the node in " + folder_.string() + " answered '" + command +
                              "' with " + answer + "; its log:\n" + log());
  return utils::parse_json(answer.substr(3));
}

std::optional<utils::Value> HarnessedNode::try_ask(const std::string& command) {
  const std::string answer = answer_line(command);
  if (answer.starts_with("error ")) return std::nullopt;
  if (!answer.starts_with("ok "))
    throw utils::RuntimeError("the node in " + folder_.string() + " answered '" + command +
                              "' with " + answer);
  return utils::parse_json(answer.substr(3));
}

std::string HarnessedNode::answer_line(const std::string& command) {
  process_->write_line(command);
  return process_->read_line(kUnderLoad).value_or("(no answer)");
}

std::vector<std::string> HarnessedNode::temp_names() const {
  std::vector<std::string> names;
  std::error_code missing;  // made by the node as it starts
  for (const auto& entry : std::filesystem::directory_iterator(node_temp_dir(), missing))
    if (entry.path().filename() != ".node") names.push_back(entry.path().filename());
  for (const auto& entry : std::filesystem::directory_iterator(folder_ / "velmora-inbox", missing))
    names.push_back("INBOX/" + entry.path().filename().string());
  for (const auto& entry : std::filesystem::directory_iterator(temp_dir_))
    names.push_back("TMPDIR/" + entry.path().filename().string());
  return names;
}


}  // namespace velmora::testing
