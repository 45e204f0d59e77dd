#pragma once
// Extraction of tar archives that come from outside, such as the files of a friend's container:
// only folders and regular files are written, and only below the target folder. A plain function
// of its arguments; any thread may call it, with a target folder that no one else writes to.

#include <cstdint>
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
  kNotAdmitted,  // the caller's admission declined it
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

// Asked before each folder or regular file is written: its location relative to the target,
// whether it is a folder, and its size (a sparse file's whole size, holes included). True writes
// it; false leaves it out as Refusal::kNotAdmitted. What it throws ends the extraction.
using EntryAdmission = std::function<bool(const std::filesystem::path& location, bool is_folder,
                                          std::uint64_t size)>;

// Reads a tar archive (plain, or compressed with gzip, bzip2, xz or zstd) from fd up to its end
// marker and writes its folders and regular files below folder, which must exist. "." and empty
// components of names are dropped; missing parent folders are made. Every other kind of entry,
// every name that could lead outside folder, and every entry whose place is taken by something
// of another kind is left out and handed to on_refused, in archive order (so nothing about them
// is held); so is what admit, when given, declines. Nothing is ever written through a link.
// Files get the entry's permission bits plus owner read and write, folders plus
// owner read, write and search (so the node can always send and remove them); owners and the
// set-id and sticky bits are never restored. A file of the same name is replaced; an existing
// folder is kept and filled. Modification times are kept.
// Throws ValueError when the data is not a readable archive or a file's data passes the size its
// entry gives, OSError when writing fails; what was written before stays.
void extract_archive(int fd, const std::filesystem::path& folder, const RefusalSink& on_refused,
                     const EntryAdmission& admit = {});

}  // namespace velmora::boxwright
