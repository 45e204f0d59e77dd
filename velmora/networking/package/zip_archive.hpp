#pragma once
// Zip archives over libzip, with the checks libzip leaves to its caller: a member counts as sound
// only once it has been read to its end against its CRC-32, and unpacking refuses every name that
// would leave the target folder. Nothing here changes the working directory. A ZipReader serves
// one thread at a time; the free functions are safe from any thread on distinct files.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
// compressible in stored blocks), folders as stored entries whose names end in "/". A link counts as what it points to (a linked folder's contents are not
// taken); a dangling link and any other kind of entry are left out. Modification times and
// permission bits are recorded. OSError when folder or a file in it cannot be read.
void write_folder_zip(const std::filesystem::path& folder, const std::filesystem::path& archive,
                      int level);

using ChunkSink = std::function<void(std::string_view chunk)>;

// An archive open for reading; its structure is checked when it is opened.
class ZipReader {
 public:
  explicit ZipReader(const std::filesystem::path& archive);
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  std::size_t size() const noexcept { return size_; }
  // The member's name, as UTF-8 (a name not flagged as UTF-8 is read as CP437).
  std::string name(std::size_t index) const;
  // Whether the member is marked as a symbolic link.
  bool is_link(std::size_t index) const;
  // Reads the member to its end, handing its data to sink piece by piece. DamagedMember when the
  // data does not match its CRC-32 or size.
  void read(std::size_t index, const ChunkSink& sink);

 private:
  struct Discard {
    void operator()(zip_t* archive) const noexcept;
  };
  std::filesystem::path path_;
  std::unique_ptr<zip_t, Discard> archive_;
  std::size_t size_ = 0;
  std::vector<char> buffer_;
};

// Unpacks every member of archive into folder, an existing folder that no one else writes to:
// folder entries become folders, files become files (mode 0666 less the umask), missing parents
// are made. Empty and "." components are dropped. DamagedMember for an absolute name, a ".."
// component, a link entry, a name that clashes with an earlier one, and a member that fails its
// CRC-32; no link inside folder is ever followed, so nothing is written outside it.
void unpack_zip(const std::filesystem::path& archive, const std::filesystem::path& folder);

}  // namespace velmora::networking::package
