#pragma once
// The node's inbox, "velmora-inbox" in its working folder: each package taken from the backend is
// kept there (flushed to disk) before it is acknowledged, and removed once what it carries is
// stored or it is refused for good. The start does not clear it: what a killed run left there is
// taken up again, in the order it came. Its owner's alone (mode 0700); the temporary folder's
// lock keeps other nodes away. Every member may be called from any thread.

#include <filesystem>
#include <string_view>
#include <vector>

namespace velmora::model {

inline constexpr std::string_view kInboxFolderName = "velmora-inbox";

class Inbox {
 public:
  // Takes the folder at path (absolute), made when missing; RuntimeError when it is no folder of
  // this user, OSError when it cannot be made.
  explicit Inbox(std::filesystem::path path);

  const std::filesystem::path& path() const noexcept { return path_; }

  // The packages in the folder, oldest first (by the time each was written, then by name); what
  // is no regular file is passed over.
  std::vector<std::filesystem::path> packages() const;

  // Removes package, once handled; a failure is logged at WARNING.
  static void remove(const std::filesystem::path& package) noexcept;

 private:
  const std::filesystem::path path_;
};

}  // namespace velmora::model
