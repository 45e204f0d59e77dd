#pragma once
// Temporary files and folders, each created exclusively under a fresh random name in a given
// folder, readable by the owner only; the caller removes it.

#include <filesystem>
#include <string_view>

namespace velmora::utils {

// The system temporary directory: TMPDIR, else /tmp.
std::filesystem::path temp_directory();

// A new empty folder (mode 0700) in folder, named prefix + random characters.
std::filesystem::path make_temp_dir(const std::filesystem::path& folder, std::string_view prefix);

// A new empty file (mode 0600) in folder, named prefix + random characters + suffix.
std::filesystem::path make_temp_file(const std::filesystem::path& folder, std::string_view prefix,
                                     std::string_view suffix = "");

}  // namespace velmora::utils
