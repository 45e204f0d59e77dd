#pragma once
// What a folder holds, for comparing whole trees in tests.

#include <filesystem>
#include <map>
#include <string>

namespace velmora::testing {

// Every path below folder, relative to it, with what stands there: a file's content, "<folder>",
// "<link to TARGET>", or "<other>" for anything else. Links are listed, never followed.
std::map<std::string, std::string> file_tree(const std::filesystem::path& folder);

// The whole content of a file.
std::string file_content(const std::filesystem::path& file);

}  // namespace velmora::testing
