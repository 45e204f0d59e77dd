#pragma once
// A folder of the node's working folder that is its owner's alone (the model's own sources).

#include <filesystem>
#include <string_view>

namespace velmora::model {

// Makes the folder at path with mode 0700, or checks the one there: this user's, a folder and no
// link, its mode then set to 0700. RuntimeError "'<path>' is no folder of this user, so it cannot
// be <what>" for another; OSError when it cannot be made, read or set.
void make_private_folder(const std::filesystem::path& path, std::string_view what);

}  // namespace velmora::model
