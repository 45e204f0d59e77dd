#include "velmora/boxwright/results/archive_extraction.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::boxwright {
namespace {

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;
using Components = std::vector<std::string>;

constexpr std::size_t kReadBlock = std::size_t{256} << 10;
constexpr mode_t kPermissionBits = 0777;

// What stands where an entry goes, when it is not what the entry needs: a file system error that
// means "in the way" rather than a failing disk.
bool in_the_way(int error) {
  return error == EEXIST || error == ENOTDIR || error == EISDIR || error == ELOOP;
}

// The components of an entry's name, "." and empty ones dropped, or why the name is refused.
std::variant<Components, Refusal> components_of(const std::string& name) {
  if (name.starts_with('/')) return Refusal::kAbsoluteName;
  Components components;
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string component = name.substr(start, end - start);
    if (component == "..") return Refusal::kParentStep;
    if (!component.empty() && component != ".") components.push_back(component);
    start = end + 1;
  }
  return components;
}

std::optional<Refusal> refusal_of_kind(archive_entry* entry) {
  if (archive_entry_hardlink(entry)) return Refusal::kHardLink;
  switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
    case AE_IFDIR:
      return std::nullopt;
    case AE_IFLNK:
      return Refusal::kSymbolicLink;
    case AE_IFCHR:
    case AE_IFBLK:
      return Refusal::kDevice;
    case AE_IFIFO:
      return Refusal::kFifo;
    default:
      return Refusal::kSocket;  // AE_IFSOCK; the tar format has no other kind
  }
}

std::filesystem::path joined(const std::filesystem::path& folder, const Components& components,
                             std::size_t count) {
  std::filesystem::path path = folder;
  for (std::size_t i = 0; i < count; ++i) path /= components[i];
  return path;
}

void write_all_at(int fd, const char* data, std::size_t size, la_int64_t offset,
                  const std::filesystem::path& path) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw utils::OSError(errno, path);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += written;
  }
}

// One extraction: the archive being read and the target folder, opened once; every path below
// it is reached component by component without following links.
class Extraction {
 public:
  Extraction(int fd, std::filesystem::path folder, const RefusalSink& on_refused,
             const EntryAdmission& admit)
      : folder_(std::move(folder)), on_refused_(on_refused), admit_(admit) {
    root_.open(folder_, O_RDONLY | O_DIRECTORY);
    archive_read_support_format_tar(reader_.get());
    archive_read_support_filter_gzip(reader_.get());
    archive_read_support_filter_bzip2(reader_.get());
    archive_read_support_filter_xz(reader_.get());
    archive_read_support_filter_zstd(reader_.get());
    if (archive_read_open_fd(reader_.get(), fd, kReadBlock) != ARCHIVE_OK) fail_reading();
  }

  void run() {
    archive_entry* entry = nullptr;
    for (;;) {
      const int status = archive_read_next_header(reader_.get(), &entry);
      if (status == ARCHIVE_EOF) break;
      if (status < ARCHIVE_WARN) fail_reading();
      take(entry);
    }
    restore_folder_times();
  }

 private:
  [[noreturn]] void fail_reading() {
    const char* text = archive_error_string(reader_.get());
    throw utils::ValueError(std::string("the archive cannot be read: ") +
                            (text ? text : "no reason given"));
  }

  void take(archive_entry* entry) {
    const char* raw_name = archive_entry_pathname(entry);
    if (!raw_name) raw_name = archive_entry_pathname_utf8(entry);
    if (!raw_name) return refuse("", {}, Refusal::kUnreadableName);
    const std::string name = raw_name;
    auto parsed = components_of(name);
    if (const Refusal* refusal = std::get_if<Refusal>(&parsed)) return refuse(name, {}, *refusal);
    const Components& components = std::get<Components>(parsed);
    const std::filesystem::path location = joined({}, components, components.size());
    if (const auto refusal = refusal_of_kind(entry)) return refuse(name, location, *refusal);

    const mode_t permissions = archive_entry_perm(entry) & kPermissionBits;
    const bool is_folder = archive_entry_filetype(entry) == AE_IFDIR;
    if (components.empty()) {  // the target folder itself
      if (!is_folder) refuse(name, location, Refusal::kInTheWay);
      return;
    }
    const la_int64_t size = is_folder || !archive_entry_size_is_set(entry)
                                ? 0
                                : std::max<la_int64_t>(0, archive_entry_size(entry));
    if (admit_ && !admit_(location, is_folder, static_cast<std::uint64_t>(size)))
      return refuse(name, location, Refusal::kNotAdmitted);
    std::optional<utils::FileDescriptor> parent = open_folders(components);
    const bool placed =
        parent && (is_folder ? make_folder(parent->get(), components, permissions)
                             : write_file(parent->get(), components, entry, permissions));
    if (!placed) return refuse(name, location, Refusal::kInTheWay);
    if (is_folder && archive_entry_mtime_is_set(entry))
      folder_times_.push_back(
          {location, archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)});
  }

  void refuse(const std::string& name, const std::filesystem::path& location, Refusal refusal) {
    on_refused_({name, location, refusal});
  }

  // The folder that holds the entry's last component, made where missing; none when something
  // other than a folder stands on the way.
  std::optional<utils::FileDescriptor> open_folders(const Components& components) {
    int current = root_.get();
    utils::FileDescriptor opened;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
      const char* component = components[i].c_str();
      int next = ::openat(current, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && errno == ENOENT) {
        if (::mkdirat(current, component, kPermissionBits) != 0 && errno != EEXIST)
          throw utils::OSError(errno, joined(folder_, components, i + 1));
        next = ::openat(current, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      if (next < 0) {
        if (in_the_way(errno)) return std::nullopt;
        throw utils::OSError(errno, joined(folder_, components, i + 1));
      }
      opened = utils::FileDescriptor(next);
      current = next;
    }
    if (!opened.is_open()) opened = utils::FileDescriptor(::dup(root_.get()));
    if (!opened.is_open()) throw utils::OSError(errno, folder_);
    return opened;
  }

  // Makes the entry's folder, or keeps the one that is there.
  bool make_folder(int parent, const Components& components, mode_t permissions) {
    const char* name = components.back().c_str();
    if (::mkdirat(parent, name, permissions | S_IRWXU) == 0) return true;
    if (errno != EEXIST)
      throw utils::OSError(errno, joined(folder_, components, components.size()));
    struct stat existing {};
    return ::fstatat(parent, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(existing.st_mode);
  }

  // Writes the entry's file in place of any file of that name.
  bool write_file(int parent, const Components& components, archive_entry* entry,
                  mode_t permissions) {
    const std::filesystem::path path = joined(folder_, components, components.size());
    const char* name = components.back().c_str();
    struct stat existing {};
    if (::fstatat(parent, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(existing.st_mode)) return false;
      if (::unlinkat(parent, name, 0) != 0 && errno != ENOENT) throw utils::OSError(errno, path);
    }
    utils::FileDescriptor file(::openat(parent, name,
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                        permissions | S_IRUSR | S_IWUSR));
    if (!file.is_open()) {
      if (in_the_way(errno)) return false;
      throw utils::OSError(errno, path);
    }
    for (;;) {
      const void* block = nullptr;
      std::size_t size = 0;
      la_int64_t offset = 0;
      const int status = archive_read_data_block(reader_.get(), &block, &size, &offset);
      if (status == ARCHIVE_EOF) break;
      if (status < ARCHIVE_WARN) fail_reading();
      // What was admitted by its size holds to it, whatever a sparse map says.
      if (archive_entry_size_is_set(entry) &&
          (offset < 0 || static_cast<std::uint64_t>(offset) + size >
                             static_cast<std::uint64_t>(archive_entry_size(entry))))
        throw utils::ValueError("the archive's data of " + path.filename().string() +
                                " passes the size its entry gives");
      write_all_at(file.get(), static_cast<const char*>(block), size, offset, path);
    }
    // A sparse file may end in a hole, which no block covers.
    if (archive_entry_size_is_set(entry) && ::ftruncate(file.get(), archive_entry_size(entry)) != 0)
      throw utils::OSError(errno, path);
    if (archive_entry_mtime_is_set(entry)) {
      const timespec times[2] = {{0, UTIME_OMIT},
                                 {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
      if (::futimens(file.get(), times) != 0) throw utils::OSError(errno, path);
    }
    file.close(path);
    return true;
  }

  // Folder times last, innermost first, since filling a folder changes its time.
  void restore_folder_times() {
    for (auto it = folder_times_.rbegin(); it != folder_times_.rend(); ++it) {
      const timespec times[2] = {{0, UTIME_OMIT}, {it->seconds, it->nanoseconds}};
      ::utimensat(root_.get(), it->location.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
  }

  struct FolderTime {
    std::filesystem::path location;
    time_t seconds;
    long nanoseconds;
  };

  const std::filesystem::path folder_;
  utils::FileDescriptor root_;
  ArchivePtr reader_{archive_read_new(), &archive_read_free};
  const RefusalSink& on_refused_;
  const EntryAdmission& admit_;
  std::vector<FolderTime> folder_times_;
};

}  // namespace

std::string_view refusal_text(Refusal refusal) noexcept {
  switch (refusal) {
    case Refusal::kUnreadableName:
      return "a name that cannot be read";
    case Refusal::kAbsoluteName:
      return "an absolute name";
    case Refusal::kParentStep:
      return "'..' in the name";
    case Refusal::kSymbolicLink:
      return "a symbolic link";
    case Refusal::kHardLink:
      return "a hard link";
    case Refusal::kDevice:
      return "a device";
    case Refusal::kFifo:
      return "a FIFO";
    case Refusal::kSocket:
      return "a socket";
    case Refusal::kInTheWay:
      return "something else stands in its place";
    case Refusal::kNotAdmitted:
      return "a path deeper or longer than collected results may be";
  }
  return "refused";
}

void extract_archive(int fd, const std::filesystem::path& folder, const RefusalSink& on_refused,
                     const EntryAdmission& admit) {
  Extraction(fd, folder, on_refused, admit).run();
}

}  // namespace velmora::boxwright
