#include "velmora/boxwright/engine/build_context.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::boxwright::engine {
namespace {

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_free)>;
using EntryPtr = std::unique_ptr<archive_entry, decltype(&archive_entry_free)>;

// The failure of a libarchive call on path: an OSError when it carries an errno.
[[noreturn]] void fail(archive* a, const std::filesystem::path& path) {
  if (archive_errno(a) > 0) throw utils::OSError(archive_errno(a), path);
  const char* text = archive_error_string(a);
  throw utils::RuntimeError("cannot archive '" + path.string() + "': " + (text ? text : "?"));
}

// A file or folder that the walk could not read. libarchive may keep no errno for it, so the path
// is opened once more to learn why.
[[noreturn]] void fail_reading(archive* a, const std::filesystem::path& path) {
  if (archive_errno(a) <= 0) {
    const utils::FileDescriptor probe(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!probe.is_open()) throw utils::OSError(errno, path);
  }
  fail(a, path);
}

void check(int result, archive* a, const std::filesystem::path& path) {
  if (result < ARCHIVE_WARN) fail(a, path);
}

void copy_data(archive* disk, archive* tar, const std::filesystem::path& path) {
  std::vector<char> buffer(std::size_t{1} << 16);
  for (;;) {
    const la_ssize_t got = archive_read_data(disk, buffer.data(), buffer.size());
    if (got == 0) return;
    if (got < 0) fail_reading(disk, path);
    if (archive_write_data(tar, buffer.data(), static_cast<std::size_t>(got)) != got)
      fail(tar, path);
  }
}

}  // namespace

void write_build_context(const std::filesystem::path& folder,
                         const std::filesystem::path& tar_file) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) throw utils::OSError(errno, folder);
  if (!S_ISDIR(info.st_mode)) throw utils::OSError(ENOTDIR, folder);

  std::string root = folder.lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const std::string prefix = root == "/" ? root : root + "/";

  ArchivePtr tar(archive_write_new(), &archive_free);
  check(archive_write_set_format_pax_restricted(tar.get()), tar.get(), tar_file);
  check(archive_write_open_filename(tar.get(), tar_file.c_str()), tar.get(), tar_file);

  ArchivePtr disk(archive_read_disk_new(), &archive_free);
  archive_read_disk_set_symlink_hybrid(disk.get());  // follow folder itself, no link below it
  check(archive_read_disk_set_behavior(disk.get(), ARCHIVE_READDISK_NO_XATTR |
                                                       ARCHIVE_READDISK_NO_ACL |
                                                       ARCHIVE_READDISK_NO_FFLAGS),
        disk.get(), folder);
  check(archive_read_disk_open(disk.get(), root.c_str()), disk.get(), folder);

  EntryPtr entry(archive_entry_new(), &archive_entry_free);
  std::string entered = root;  // the folder entered last: the one the next read opens
  for (;;) {
    archive_entry_clear(entry.get());
    const int result = archive_read_next_header2(disk.get(), entry.get());
    if (result == ARCHIVE_EOF) break;
    // A read that failed may leave the entry without a name: then it could not open the folder
    // entered last.
    const char* name = archive_entry_pathname(entry.get());
    if (result < ARCHIVE_WARN || !name) fail_reading(disk.get(), name ? name : entered);
    const std::string path = name;
    if (archive_read_disk_can_descend(disk.get())) {
      check(archive_read_disk_descend(disk.get()), disk.get(), path);
      entered = path;
    }
    if (path == root || !path.starts_with(prefix)) continue;

    const auto type = archive_entry_filetype(entry.get());
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)
      continue;  // sockets, FIFOs, devices
    archive_entry_set_pathname(entry.get(), path.c_str() + prefix.size());
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    archive_entry_set_uname(entry.get(), "root");
    archive_entry_set_gname(entry.get(), "root");
    check(archive_write_header(tar.get(), entry.get()), tar.get(), path);
    if (type == AE_IFREG) copy_data(disk.get(), tar.get(), path);
  }
  check(archive_read_close(disk.get()), disk.get(), folder);
  check(archive_write_close(tar.get()), tar.get(), tar_file);
}

}  // namespace velmora::boxwright::engine
