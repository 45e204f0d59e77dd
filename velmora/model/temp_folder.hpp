#pragma once
// The node's own temporary folder, "velmora-tmp" in its working folder. Every temporary item of
// the node is made there, never in the system's temporary directory: downloads, packages being
// made or unpacked, received job folders, build contexts and copies of results. It lies beside
// the stores and the results folder, on the node's own disk, so that results are filed by a
// rename; it is its owner's alone (mode 0700) and held by one node at a time, through an
// exclusive lock on its marker file ".node" for as long as this object lives. What a run that
// was killed left in it is cleared when the next one starts.
//
// Not copyable. Every member may be called from any thread.

#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "velmora/utils/file_descriptor.hpp"

namespace velmora::model {

inline constexpr std::string_view kTempFolderName = "velmora-tmp";

class TempFolder {
 public:
  // Takes the folder at path (absolute), made when missing. An existing one must be a folder of
  // this user, no link, holding the marker or nothing at all; its mode is set to 0700.
  // RuntimeError when it is not a node's temporary folder or another node holds it; OSError when
  // it cannot be made, read or locked.
  explicit TempFolder(std::filesystem::path path);
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }

  // Whether item names something directly in the folder (not the folder, not deeper).
  bool holds(const std::filesystem::path& item) const;

  // Moves item, a folder directly in this one, to a fresh name "kept-<name>-<random>" beside it,
  // which clear() passes over: what must not be lost when it cannot go where it belongs. Answers
  // where it is now (item itself when it could not be moved).
  std::filesystem::path keep(const std::filesystem::path& item, const std::string& name) const;

  // Removes everything in the folder but the marker, the items kept and those named in keep; a
  // removal that fails is logged at WARNING and the others go on. Logs at INFO how many items
  // went.
  void clear(const std::set<std::filesystem::path>& keep) const;

 private:
  const std::filesystem::path path_;
  utils::FileDescriptor marker_;  // locked for this object's life
};

}  // namespace velmora::model
