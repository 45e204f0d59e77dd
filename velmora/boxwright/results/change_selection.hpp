#pragma once
// Which entries of a container's change list come back as its results, and where each goes.
// Plain functions of their arguments; any thread may call them.
//
// A change-list entry is a mapping with "Path" (text) and "Kind" (0 changed, 1 added, 2 deleted).
// A Linux engine's paths are absolute ("/out/x.txt"); a Windows engine's are relative to its
// layer ("Files/data/out.txt").

#include <filesystem>
#include <string>

#include "velmora/utils/value.hpp"

namespace velmora::boxwright {

// A selected path: what the engine's archive request names, and the path's place below the
// results' "filesys" folder, into whose parent folder its archive is extracted.
struct ResultPath {
  std::string container_path;
  // Relative, without "." or ".." components; empty when the path has no place there.
  std::filesystem::path location;
};

// Linux: an added path, unless it holds "usr/local/lib" anywhere.
// Windows: an added path; or a changed one that holds "Files/data", is not "Files/data" itself
// and whose suffix (from the last "." of its last component, unless that is its first or last
// character) holds none of ".c", ".blf", ".hdf" and ".r".
// Both throw KeyError for an entry without "Path" or "Kind", ValueError when its "Path" is no text.
bool selected_on_linux(const utils::Value& entry);
bool selected_on_windows(const utils::Value& entry);

// Linux: "/tmp/out/x.txt" is requested as "tmp/out/x.txt" and lands at "tmp/out/x.txt".
// Windows: "Files/data/out/x.txt" is requested as "C:\data\out\x.txt" and lands at
// "data/out/x.txt" (every "Files/" removed); a path without "Files/data" has no place.
ResultPath linux_result_path(const std::string& path);
ResultPath windows_result_path(const std::string& path);

}  // namespace velmora::boxwright
