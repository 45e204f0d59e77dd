#pragma once
// Extraction of tar archives that come from outside, such as the files of a friend's container:
// only folders and regular files are written, and only below the target folder. A plain function
// of its arguments; any thread may call it, with a target folder that no one else writes to.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace velmora::boxwright {

// Why an entry of an archive was not written.
enum class Refusal {
  kUnreadableName,  // the archive gives no name for it
  kAbsoluteName,    // its name starts with "/"
  kParentStep,      // its name holds a ".." component
  kSymbolicLink,
  kHardLink,
  kDevice,  // a character or block device
  kFifo,
  kSocket,
  kInTheWay,  // a folder where a file belongs, or a file where a folder belongs
};

// "symbolic link", "'..' in the name", ...: a refusal as log lines show it.
std::string_view refusal_text(Refusal refusal) noexcept;

struct RefusedEntry {
  std::string name;                // as the archive names it
  std::filesystem::path location;  // relative to the target; empty when the name was refused
  Refusal refusal;
};

// Receives each entry that an extraction leaves out, as the extraction meets it.
using RefusalSink = std::function<void(const RefusedEntry&)>;

// Reads a tar archive (plain, or compressed with gzip, bzip2, xz or zstd) from fd up to its end
// marker and writes its folders and regular files below folder, which must exist. "." and empty
// components of names are dropped; missing parent folders are made. Every other kind of entry,
// every name that could lead outside folder, and every entry whose place is taken by something
// of another kind is left out and handed to on_refused, in archive order (so nothing about them
// is held). Nothing is ever written
// through a link. Files get the entry's permission bits plus owner read and write, folders plus
// owner read, write and search (so the node can always send and remove them); owners and the
// set-id and sticky bits are never restored. A file of the same name is replaced; an existing
// folder is kept and filled. Modification times are kept.
// Throws ValueError when the data is not a readable archive, OSError when writing fails; what
// was written before stays.
void extract_archive(int fd, const std::filesystem::path& folder, const RefusalSink& on_refused);

}  // namespace velmora::boxwright
