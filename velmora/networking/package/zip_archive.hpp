#pragma once
// Zip archives over libzip, with the checks libzip leaves to its caller: a member counts as sound
// only once it has been read to its end against its CRC-32 and within the size it declares, an
// archive is held to the bounds of a package (package_bounds.hpp) before libzip reads its
// directory, and unpacking refuses every name that would leave the target folder. Nothing here
// changes the working directory. A ZipReader serves one thread at a time; the free functions are
// safe from any thread on distinct files.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/networking/package/package_bounds.hpp"
#include "velmora/utils/error.hpp"

typedef struct zip zip_t;

namespace velmora::networking::package {

// A member that failed its check: data that does not match its CRC-32 or its header, or, when
// unpacking, a name that would leave the folder, a link, or a name that clashes with another.
// The archive's other failures (no zip archive, data that cannot be decoded, an unsupported
// method) are utils::RuntimeError, those of the file system utils::OSError.
class DamagedMember : public utils::RuntimeError {
 public:
  DamagedMember(std::string member, const std::string& reason);
  const std::string& member() const noexcept { return member_; }

 private:
  std::string member_;
};

// A member's name as an error text may show it: unchanged when it is printable UTF-8, else its
// literal text.
std::string shown_member_name(std::string_view name);

// A file that becomes a member of an archive being written.
struct ZipMember {
  std::string name;
  std::filesystem::path file;  // read when the archive is written
  bool compressed = false;     // holds compressed data: deflated in stored blocks, at no cost
};

// Writes a new archive at archive (replacing what is there) of members, deflated at level (1-9).
void write_zip(const std::filesystem::path& archive, const std::vector<ZipMember>& members,
               int level);

// Writes a new archive at archive of everything below folder, named by its path relative to
// folder with "/" between components: files deflated at level (a file whose start does not look
// compressible in stored blocks), folders as stored entries whose names end in "/". A link counts
// as what it points to (a linked folder's contents are not taken); a dangling link and any other
// kind of entry are left out. Modification times and permission bits are recorded. OSError when
// folder or a file in it cannot be read; ValueError, before anything is written, when the folder
// passes what bounds let a receiver unpack (entries, bytes, the depth or length of a name).
void write_folder_zip(const std::filesystem::path& folder, const std::filesystem::path& archive,
                      int level, const PackageBounds& bounds = {});

using ChunkSink = std::function<void(std::string_view chunk)>;

// An archive open for reading; its structure is checked when it is opened.
class ZipReader {
 public:
  // OverBound, before libzip reads the directory, when the archive's end record declares more
  // entries or a larger directory than bounds allow. What the members declare in all is held to
  // bounds by the caller (hold_declared_bytes), which may read a member first.
  explicit ZipReader(const std::filesystem::path& archive, const PackageBounds& bounds = {});
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  std::size_t size() const noexcept { return size_; }
  // The member's name, as UTF-8 (a name not flagged as UTF-8 is read as CP437).
  std::string name(std::size_t index) const;
  // Whether the member is marked as a symbolic link.
  bool is_link(std::size_t index) const;
  // The size the member declares its data to inflate to, and that of all members.
  std::uint64_t declared_size(std::size_t index) const;
  std::uint64_t declared_bytes() const noexcept { return declared_bytes_; }
  // OverBound when the members declare more than most bytes in all.
  void hold_declared_bytes(std::uint64_t most) const;
  // Reads the member to its end, handing its data to sink piece by piece. DamagedMember when the
  // data does not match its CRC-32 or size; OverBound, as soon as it happens, when the data
  // passes the size the member declares (which libzip does not hold it to).
  void read(std::size_t index, const ChunkSink& sink);

 private:
  struct Discard {
    void operator()(zip_t* archive) const noexcept;
  };
  std::filesystem::path path_;
  std::unique_ptr<zip_t, Discard> archive_;
  std::size_t size_ = 0;
  std::uint64_t declared_bytes_ = 0;
  std::vector<char> buffer_;
};

// Unpacks every member of archive into folder, an existing folder that no one else writes to:
// folder entries become folders, files become files (mode 0666 less the umask), missing parents
// are made. Empty and "." components are dropped. Every name and the declared sizes are checked
// before anything is written: DamagedMember for an absolute name, a ".." component or a link
// entry; OverBound for a name deeper or longer than bounds allow, for declared sizes that pass
// bounds.bytes or would leave less than bounds.disk_reserve free on folder's file system, and
// for data that passes its declared size. While writing, DamagedMember for a name that clashes
// with an earlier one and a member that fails its CRC-32. No link inside folder is ever
// followed, so nothing is written outside it. What was written before a failure stays.
void unpack_zip(const std::filesystem::path& archive, const std::filesystem::path& folder,
                const PackageBounds& bounds = {});

}  // namespace velmora::networking::package
