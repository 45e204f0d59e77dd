#pragma once
// The package file: a zip archive of "label.json" and, when a folder travels with it,
// "attachment.zip" of that folder's contents. Functions of their arguments: safe from any thread
// on distinct files.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::networking::package {

// The most of a received "label.json" that is read; a larger label fails the package.
inline constexpr std::size_t kMaxLabelBytes = std::size_t{16} << 20;

// Writes the package at package_file (replacing what is there): "label.json" holding label_text,
// and, when attachment is not empty, "attachment.zip" of the contents of the folder attachment.
// Both members are made in work, an empty folder, first. OSError when attachment or a file in it
// cannot be read.
void write_package(const std::filesystem::path& package_file, std::string_view label_text,
                   const std::filesystem::path& attachment, const std::filesystem::path& work);

// What a tested package holds.
struct PackageContents {
  std::optional<std::string> label_text;  // of "label.json", when there is one
  bool has_attachment = false;            // "attachment.zip" was copied out
};

// The integrity test: reads every member of package_file to its end in the order of its
// directory, keeping the text of "label.json" and copying "attachment.zip" to attachment_copy (a
// file it creates). DamagedMember for the first member that fails its check, RuntimeError for a
// file that is no zip archive, for data that cannot be decoded and for a label larger than
// kMaxLabelBytes.
PackageContents test_package(const std::filesystem::path& package_file,
                             const std::filesystem::path& attachment_copy);

}  // namespace velmora::networking::package
