#pragma once
// Tests of what file permissions refuse, which root would not see: run as root, a child process
// drops to the unprivileged "nobody" after the folder it works on was handed to that user.

#include <filesystem>

namespace velmora::testing {

// When the process runs as root: makes "nobody" the owner of folder and everything below it.
// Throws std::filesystem::filesystem_error when that fails.
void hand_to_nobody(const std::filesystem::path& folder);

// When the process runs as root, becomes "nobody" for good (for a child process); false when
// that fails.
bool become_nobody();

}  // namespace velmora::testing
