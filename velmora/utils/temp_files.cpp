#include "velmora/utils/temp_files.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

std::string name_template(const std::filesystem::path& folder, std::string_view prefix,
                          std::string_view suffix) {
  return (folder / (std::string(prefix) + "XXXXXX")).string() + std::string(suffix);
}

}  // namespace

std::filesystem::path temp_directory() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir && *tmpdir ? std::filesystem::path(tmpdir) : std::filesystem::path("/tmp");
}

std::filesystem::path make_temp_dir(const std::filesystem::path& folder, std::string_view prefix) {
  std::string name = name_template(folder, prefix, "");
  if (!::mkdtemp(name.data())) throw OSError(errno, name);
  return name;
}

std::filesystem::path make_temp_file(const std::filesystem::path& folder, std::string_view prefix,
                                     std::string_view suffix) {
  std::string name = name_template(folder, prefix, suffix);
  const int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
  if (fd < 0) throw OSError(errno, name);
  ::close(fd);
  return name;
}

}  // namespace velmora::utils
