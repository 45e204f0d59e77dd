#include "testing/backend_record.hpp"

#include <fstream>
#include <sstream>

#include "velmora/utils/text/json_parse.hpp"

namespace velmora::testing {
namespace {

// The value of each complete line of the file, in order.
std::vector<utils::Value> complete_lines(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<utils::Value> values;
  std::string line;
  while (std::getline(text, line))
    if (!text.eof()) values.push_back(utils::parse_json(line));
  return values;
}

std::vector<RecordedPackage> recorded_files(const std::filesystem::path& file) {
  std::vector<RecordedPackage> files;
  for (const utils::Value& line : complete_lines(file))
    files.push_back({line.at("from"), line.at("to"), line.at("filename"),
                     line.at("file").get<std::string>()});
  return files;
}

}  // namespace

std::vector<RecordedRequest> recorded_requests(const std::filesystem::path& folder) {
  std::vector<RecordedRequest> requests;
  for (const utils::Value& line : complete_lines(folder / "requests.jsonl"))
    requests.push_back({line.at("method"), line.at("path"), {}, line.at("body")});
  return requests;
}

std::vector<RecordedPackage> recorded_packages(const std::filesystem::path& folder) {
  return recorded_files(folder / "packages.jsonl");
}

std::vector<RecordedPackage> recorded_logs(const std::filesystem::path& folder) {
  return recorded_files(folder / "logs.jsonl");
}

}  // namespace velmora::testing
