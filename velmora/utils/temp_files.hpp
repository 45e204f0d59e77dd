#pragma once
// Temporary files and folders in the system temporary directory (TMPDIR, else /tmp). Each is
// created exclusively under a fresh random name, readable by the owner only; the caller removes it.

#include <filesystem>
#include <string_view>

namespace velmora::utils {

std::filesystem::path temp_directory();

// A new empty folder (mode 0700) named prefix + random characters.
std::filesystem::path make_temp_dir(std::string_view prefix = "tmp");

// A new empty file (mode 0600) named prefix + random characters + suffix.
std::filesystem::path make_temp_file(std::string_view prefix = "tmp", std::string_view suffix = "");

}  // namespace velmora::utils
