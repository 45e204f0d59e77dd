#pragma once
// Moving a folder to another name, also onto another file system.

#include <filesystem>

namespace velmora::model {

// Renames the folder from to to. When the two lie on different file systems, copies from into a
// fresh folder beside to, renames that to to and then removes from. As a rename does, an empty
// folder at to is replaced, while a non-empty folder or a file there refuses the move. Throws
// OSError (naming to) when the folder cannot be moved; from is then left as it was, and nothing
// of the copy stays behind.
void move_folder(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace velmora::model
