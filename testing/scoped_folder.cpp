#include "testing/scoped_folder.hpp"

#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/tree_removal.hpp"

namespace velmora::testing {

ScopedFolder::ScopedFolder(std::string_view prefix)
    : path_(utils::make_temp_dir(utils::temp_directory(), prefix)) {}

ScopedFolder::~ScopedFolder() {
  if (path_.empty()) return;
  try {
    utils::remove_tree(path_);
  } catch (const std::exception&) {
    // a test's leftover in the temporary directory
  }
}

}  // namespace velmora::testing
