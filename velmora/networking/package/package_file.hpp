#pragma once
// The package file: a zip archive of "label.json" and, when a folder travels with it,
// "attachment.zip" of that folder's contents. write_package is safe from any thread on distinct
// files; a PackageTest serves one thread.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/networking/package/package_bounds.hpp"
#include "velmora/networking/package/zip_archive.hpp"

namespace velmora::networking::package {

// Writes the package at package_file (replacing what is there): "label.json" holding label_text,
// and, when attachment is not empty, "attachment.zip" of the contents of the folder attachment.
// Both members are made in work, an empty folder, first. OSError when attachment or a file in it
// cannot be read; ValueError, before anything is written, for a label or a folder that passes
// what a receiver takes (package_bounds.hpp).
void write_package(const std::filesystem::path& package_file, std::string_view label_text,
                   const std::filesystem::path& attachment, const std::filesystem::path& work);

// A received package file under test: every member is read to its end against its CRC-32 and
// held to the bounds. The label comes first, before the members' declared sizes are held to
// their bound, so that a package refused later can name its sender.
class PackageTest {
 public:
  // Opens package_file. OverBound when its directory passes the bounds; RuntimeError for a file
  // that is no zip archive.
  PackageTest(const std::filesystem::path& package_file, const PackageBounds& bounds = {});

  // The text of "label.json" (the first member of that name), or none when there is none.
  // DamagedMember when it fails its check; OverBound when it declares or holds more than
  // kMaxLabelBytes (it is read into memory).
  std::optional<std::string> read_label();

  // Reads every other member to its end, copying the first "attachment.zip" to attachment_copy
  // (a file it creates); whether there was one. OverBound, before anything is read, when the
  // members declare more than bounds.bytes; DamagedMember for the first member that fails its
  // check; OverBound for a member that passes its declared size, and for an attachment whose
  // copy would leave less free disk than the reserve. RuntimeError for data that cannot be
  // decoded.
  bool read_others(const std::filesystem::path& attachment_copy);

 private:
  ZipReader zip_;
  std::uint64_t most_bytes_;
  std::uint64_t disk_reserve_;
  std::optional<std::size_t> label_;  // the index of "label.json"
};

}  // namespace velmora::networking::package
