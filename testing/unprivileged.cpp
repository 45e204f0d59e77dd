#include "testing/unprivileged.hpp"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace velmora::testing {
namespace {

constexpr uid_t kNobody = 65534;

void chown_nobody(const std::filesystem::path& path) {
  if (::chown(path.c_str(), kNobody, kNobody) != 0)
    throw std::filesystem::filesystem_error("chown", path,
                                            std::error_code(errno, std::generic_category()));
}

}  // namespace

void hand_to_nobody(const std::filesystem::path& folder) {
  if (::getuid() != 0) return;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    chown_nobody(entry.path());
  chown_nobody(folder);
}

bool become_nobody() {
  return ::getuid() != 0 || (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0);
}

}  // namespace velmora::testing
