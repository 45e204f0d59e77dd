#include "testing/file_tree.hpp"

#include <fstream>
#include <iterator>

#include "velmora/utils/error.hpp"

namespace velmora::testing {

std::map<std::string, std::string> file_tree(const std::filesystem::path& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().lexically_relative(folder).string();
    if (entry.is_symlink()) {
      tree[name] = "<link to " + std::filesystem::read_symlink(entry.path()).string() + ">";
    } else if (entry.is_directory()) {
      tree[name] = "<folder>";
    } else if (entry.is_regular_file()) {
      tree[name] = file_content(entry.path());
    } else {
      tree[name] = "<other>";
    }
  }
  return tree;
}

std::string file_content(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw utils::RuntimeError("cannot read " + file.string());
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace velmora::testing
