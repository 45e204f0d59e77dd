#pragma once
// Removal of a file tree that others filled (a peer's package, a container's results): however
// deep it goes, it holds a few descriptors and no path longer than one name, and it never
// follows a link. Any thread may call it, on a tree that no one else changes meanwhile.

#include <filesystem>

namespace velmora::utils {

// Removes path and, when it is a folder, everything below it; a link is removed, never followed.
// Nothing to do when path does not exist. What cannot be removed is left, and the rest still
// goes; then OSError naming the first entry that could not be removed.
void remove_tree(const std::filesystem::path& path);

}  // namespace velmora::utils
