#include "testing/scoped_folder.hpp"

#include "velmora/utils/temp_files.hpp"

namespace velmora::testing {

ScopedFolder::ScopedFolder(std::string_view prefix)
    : path_(utils::make_temp_dir(utils::temp_directory(), prefix)) {}

ScopedFolder::~ScopedFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace velmora::testing
