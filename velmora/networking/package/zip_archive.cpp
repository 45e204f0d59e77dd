#include "velmora/networking/package/zip_archive.hpp"

#include <fcntl.h>
#include <zip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <optional>

#include "velmora/networking/package/stored_deflate.hpp"
#include "velmora/utils/disk_space.hpp"
#include "velmora/utils/file_descriptor.hpp"
#include "velmora/utils/text/literal_text.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::networking::package {
namespace {

constexpr std::size_t kReadBuffer = std::size_t{256} << 10;
constexpr std::size_t kSample = 16384;  // of a file's start, to tell whether it compresses

// An OSError when libzip reports a failed system call, else a RuntimeError naming path.
[[noreturn]] void throw_zip_error(const zip_error_t* error, const std::filesystem::path& path) {
  if (zip_error_system_type(error) == ZIP_ET_SYS && zip_error_code_system(error) != 0)
    throw utils::OSError(zip_error_code_system(error), path);
  throw utils::RuntimeError("zip archive " + path.string() + ": " +
                            zip_error_strerror(const_cast<zip_error_t*>(error)));
}

[[noreturn]] void throw_zip_code(int code, const std::filesystem::path& path) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  try {
    throw_zip_error(&error, path);
  } catch (...) {
    zip_error_fini(&error);
    throw;
  }
}

// Failures of a member's data: a CRC-32 or size that does not match is damage, anything else the
// reader's failure.
[[noreturn]] void throw_member_error(const zip_error_t* error, const std::string& name,
                                     const std::filesystem::path& archive) {
  const int code = zip_error_code_zip(error);
  if (code == ZIP_ER_CRC || code == ZIP_ER_INCONS)
    throw DamagedMember(name, zip_error_strerror(const_cast<zip_error_t*>(error)));
  throw_zip_error(error, archive);
}

// Bytes as bound texts name them.
std::string bytes_text(std::uint64_t bytes) { return std::to_string(bytes) + " bytes"; }

std::uint64_t little_endian(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// What an archive's end records declare of its directory.
struct DirectoryExtent {
  std::uint64_t entries;
  std::uint64_t bytes;
};

// The reach of an archive's directory as its end record (or its ZIP64 end record) declares it,
// read from the file's tail without the directory; none when no end record is found, which
// libzip then reports in its own words.
std::optional<DirectoryExtent> directory_extent(const std::filesystem::path& archive) {
  constexpr std::size_t kEndRecord = 22;           // without its comment
  constexpr std::size_t kEndSearch = kEndRecord + 0xFFFF;  // the longest comment after it
  constexpr std::size_t kLocator = 20;             // of the ZIP64 end record, before the end record
  constexpr std::size_t kZip64Record = 56;
  utils::FileDescriptor file;
  file.open(archive, O_RDONLY);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) throw utils::OSError(errno, archive);
  const auto read_at = [&](std::uint64_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    const ssize_t got = ::pread(file.get(), bytes.data(), size, static_cast<off_t>(offset));
    if (got < 0) throw utils::OSError(errno, archive);
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
  };
  const auto size = static_cast<std::uint64_t>(info.st_size);
  const std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndSearch));
  const std::string tail = read_at(size - tail_size, tail_size);
  const std::size_t end = tail.size() < kEndRecord ? std::string::npos
                                                   : tail.rfind("PK\5\6", tail.size() - kEndRecord);
  if (end == std::string::npos) return std::nullopt;
  DirectoryExtent extent{little_endian(tail, end + 10, 2), little_endian(tail, end + 12, 4)};
  if (extent.entries != 0xFFFF && extent.bytes != 0xFFFFFFFF) return extent;
  const std::uint64_t end_offset = size - tail_size + end;
  if (end_offset < kLocator) return extent;
  const std::string locator = read_at(end_offset - kLocator, kLocator);
  if (locator.size() < kLocator || locator.compare(0, 4, "PK\6\7") != 0) return extent;
  const std::string record = read_at(little_endian(locator, 8, 8), kZip64Record);
  if (record.size() < kZip64Record || record.compare(0, 4, "PK\6\6") != 0) return extent;
  return DirectoryExtent{little_endian(record, 32, 8), little_endian(record, 40, 8)};
}

// Refuses an archive whose directory passes the bounds, before anything reads it.
void check_directory(const std::filesystem::path& archive, const PackageBounds& bounds) {
  const std::optional<DirectoryExtent> extent = directory_extent(archive);
  if (!extent) return;
  if (extent->entries > bounds.entries)
    throw OverBound("the archive lists " + std::to_string(extent->entries) +
                    " members, more than " + std::to_string(bounds.entries));
  if (extent->bytes > bounds.directory_bytes)
    throw OverBound("the archive's directory takes " + bytes_text(extent->bytes) +
                    ", more than " + bytes_text(bounds.directory_bytes));
}

// An archive being written. It replaces the file at its path only when close() succeeds.
class ZipWriter {
 public:
  explicit ZipWriter(const std::filesystem::path& path) : path_(path) {
    int code = 0;
    archive_ = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive_) throw_zip_code(code, path);
  }
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;
  ~ZipWriter() {
    if (archive_) zip_discard(archive_);
  }

  // Adds file, deflated at level, or when compressed in stored Deflate blocks.
  void add_file(const std::string& name, const std::filesystem::path& file, int level,
                const struct stat& info, bool compressed) {
    zip_source_t* source =
        compressed ? stored_deflate_source(archive_, file, static_cast<std::uint64_t>(info.st_size),
                                           info.st_mtime)
                   : zip_source_file(archive_, file.c_str(), 0, -1);
    if (!source) throw_zip_error(zip_get_error(archive_), file);
    const zip_int64_t index = zip_file_add(archive_, name.c_str(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) {
      zip_source_free(source);
      throw_zip_error(zip_get_error(archive_), path_);
    }
    // A stored-blocks source says itself that it is deflated; libzip copies it as it is.
    if (!compressed) check(zip_set_file_compression(archive_, index, ZIP_CM_DEFLATE, level));
    set_mode(index, S_IFREG | (info.st_mode & 07777));
  }

  // name ends in "/".
  void add_folder(const std::string& name, mode_t mode, time_t mtime) {
    const zip_int64_t index = zip_dir_add(archive_, name.c_str(), ZIP_FL_ENC_GUESS);
    if (index < 0) throw_zip_error(zip_get_error(archive_), path_);
    check(zip_set_file_compression(archive_, index, ZIP_CM_STORE, 0));
    check(zip_file_set_mtime(archive_, index, mtime, 0));
    set_mode(index, S_IFDIR | (mode & 07777));
  }

  // Compresses and writes every member. libzip writes no file for an archive without members,
  // so that one is written here: its end record alone.
  void close() {
    const bool empty = zip_get_num_entries(archive_, 0) == 0;
    if (zip_close(archive_) != 0) throw_zip_error(zip_get_error(archive_), path_);
    archive_ = nullptr;
    if (empty) {
      static constexpr char kEndRecord[22] = {'P', 'K', 5, 6};
      utils::FileDescriptor file;
      file.open(path_, O_WRONLY | O_CREAT | O_TRUNC);
      utils::write_all(file.get(), std::string_view(kEndRecord, sizeof kEndRecord), path_);
      file.close(path_);
    }
  }

 private:
  void check(int result) {
    if (result != 0) throw_zip_error(zip_get_error(archive_), path_);
  }
  void set_mode(zip_int64_t index, mode_t mode) {
    check(zip_file_set_external_attributes(archive_, index, 0, ZIP_OPSYS_UNIX,
                                           static_cast<zip_uint32_t>(mode) << 16));
  }

  std::filesystem::path path_;
  zip_t* archive_ = nullptr;
};

// Whether the start of the file at path looks like data that does not compress. A file that
// cannot be read fails here, by its name.
bool starts_incompressible(const std::filesystem::path& path) {
  utils::FileDescriptor file;
  file.open(path, O_RDONLY);
  std::array<char, kSample> sample;
  std::size_t got = 0;
  while (got < sample.size()) {
    const ssize_t n = ::read(file.get(), sample.data() + got, sample.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw utils::OSError(errno, path);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return looks_incompressible(std::string_view(sample.data(), got));
}

// The entries of folder, by name.
std::vector<std::filesystem::path> folder_entries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> entries;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error))
    entries.push_back(it->path());
  if (error) throw utils::OSError(error.value(), folder);
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Why a member's name, of depth components, passes the bounds; none when it does not.
std::optional<std::string> name_past_bounds(const std::string& name, std::size_t depth,
                                            const PackageBounds& bounds) {
  constexpr std::size_t kShown = 100;  // of a name too long to show whole
  const std::string shown = shown_member_name(
      name.size() > kShown ? std::string(utils::utf8_prefix(name, kShown)) + "..." : name);
  if (depth > bounds.path_depth)
    return "the member " + shown + " lies " + std::to_string(depth) + " components deep, more than " +
           std::to_string(bounds.path_depth);
  if (name.size() > bounds.path_length)
    return "the member " + shown + " has a name of " + bytes_text(name.size()) + ", more than " +
           std::to_string(bounds.path_length);
  return std::nullopt;
}

// What a folder being zipped holds so far, held to what a receiver unpacks.
class FolderTally {
 public:
  FolderTally(const std::filesystem::path& folder, const PackageBounds& bounds)
      : folder_(folder), bounds_(bounds) {}

  // Counts a member of depth components and size bytes; ValueError past a bound.
  void add(const std::string& name, std::size_t depth, std::uint64_t size) {
    if (const auto why = name_past_bounds(name, depth, bounds_)) refuse(*why);
    if (++entries_ > bounds_.entries)
      refuse("more than " + std::to_string(bounds_.entries) + " entries");
    if (size > bounds_.bytes - bytes_) refuse("more than " + bytes_text(bounds_.bytes));
    bytes_ += size;
  }

 private:
  [[noreturn]] void refuse(const std::string& why) const {
    throw utils::ValueError("the folder " + folder_.string() +
                            " is more than a receiving node unpacks: " + why);
  }

  const std::filesystem::path& folder_;
  const PackageBounds& bounds_;
  std::uint64_t entries_ = 0;
  std::uint64_t bytes_ = 0;
};

void add_folder_contents(ZipWriter& zip, const std::filesystem::path& folder,
                         const std::string& prefix, std::size_t depth, int level,
                         FolderTally& tally) {
  for (const std::filesystem::path& entry : folder_entries(folder)) {
    const std::string name = prefix + entry.filename().string();
    struct stat target {};
    if (::stat(entry.c_str(), &target) != 0) {
      const int error = errno;
      struct stat link {};
      if (::lstat(entry.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) continue;  // dangling
      throw utils::OSError(error, entry);
    }
    if (S_ISREG(target.st_mode)) {
      tally.add(name, depth, static_cast<std::uint64_t>(target.st_size));
      zip.add_file(name, entry, level, target, starts_incompressible(entry));
    } else if (S_ISDIR(target.st_mode)) {
      tally.add(name, depth, 0);
      zip.add_folder(name + "/", target.st_mode, target.st_mtime);
      struct stat link {};
      if (::lstat(entry.c_str(), &link) != 0) throw utils::OSError(errno, entry);
      if (!S_ISLNK(link.st_mode))
        add_folder_contents(zip, entry, name + "/", depth + 1, level, tally);
    }
  }
}

// The components of a member's name below the folder it is unpacked into.
std::vector<std::string> member_path(const std::string& name) {
  if (name.empty()) throw DamagedMember(name, "an empty name");
  if (name.front() == '/') throw DamagedMember(name, "an absolute name");
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string part = name.substr(start, end - start);
    if (part == "..") throw DamagedMember(name, "a name that leaves its folder");
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// Opens (making it when missing) the folder parts[0, count) below root, following no link.
utils::FileDescriptor open_folder(int root, const std::vector<std::string>& parts,
                                  std::size_t count, const std::string& name,
                                  const std::filesystem::path& folder) {
  utils::FileDescriptor current(::dup(root));
  if (!current.is_open()) throw utils::OSError(errno, folder);
  std::filesystem::path reached = folder;
  for (std::size_t i = 0; i < count; ++i) {
    reached /= parts[i];
    if (::mkdirat(current.get(), parts[i].c_str(), 0777) != 0 && errno != EEXIST)
      throw utils::OSError(errno, reached);
    const int next = ::openat(current.get(), parts[i].c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      if (errno == ENOTDIR || errno == ELOOP)
        throw DamagedMember(name, "a name that clashes with another member");
      throw utils::OSError(errno, reached);
    }
    current = utils::FileDescriptor(next);
  }
  return current;
}

}  // namespace

DamagedMember::DamagedMember(std::string member, const std::string& reason)
    : RuntimeError("zip member " + shown_member_name(member) + " is damaged: " + reason),
      member_(std::move(member)) {}

std::string shown_member_name(std::string_view name) {
  std::size_t pos = 0;
  while (pos < name.size()) {
    const auto byte = static_cast<unsigned char>(name[pos]);
    if (byte < 0x20 || byte == 0x7F) break;
    if (byte < 0x80) {
      ++pos;
    } else if (const char32_t cp = utils::decode_utf8(name, pos);
               cp == utils::kInvalidCodePoint || (cp >= 0x80 && cp < 0xA0)) {
      break;
    }
  }
  return pos >= name.size() ? std::string(name) : utils::literal_text(std::string(name));
}

void write_zip(const std::filesystem::path& archive, const std::vector<ZipMember>& members,
               int level) {
  ZipWriter zip(archive);
  for (const ZipMember& member : members) {
    struct stat info {};
    if (::stat(member.file.c_str(), &info) != 0) throw utils::OSError(errno, member.file);
    zip.add_file(member.name, member.file, level, info, member.compressed);
  }
  zip.close();
}

void write_folder_zip(const std::filesystem::path& folder, const std::filesystem::path& archive,
                      int level, const PackageBounds& bounds) {
  ZipWriter zip(archive);
  FolderTally tally(folder, bounds);
  add_folder_contents(zip, folder, "", 1, level, tally);
  zip.close();
}

void ZipReader::Discard::operator()(zip_t* archive) const noexcept { zip_discard(archive); }

ZipReader::ZipReader(const std::filesystem::path& archive, const PackageBounds& bounds)
    : path_(archive) {
  check_directory(archive, bounds);
  int code = 0;
  archive_.reset(zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
  if (!archive_) throw_zip_code(code, archive);
  const zip_int64_t entries = zip_get_num_entries(archive_.get(), 0);
  if (entries < 0) throw_zip_error(zip_get_error(archive_.get()), path_);
  size_ = static_cast<std::size_t>(entries);
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t index = 0; index < size_; ++index)  // a sum that cannot wrap
    declared_bytes_ += std::min(declared_size(index), kMost - declared_bytes_);
  buffer_.resize(kReadBuffer);
}

void ZipReader::hold_declared_bytes(std::uint64_t most) const {
  if (declared_bytes_ > most)
    throw OverBound("the archive's members declare more than " + bytes_text(most));
}

std::string ZipReader::name(std::size_t index) const {
  const char* name = zip_get_name(archive_.get(), index, ZIP_FL_ENC_GUESS);
  if (!name) throw_zip_error(zip_get_error(archive_.get()), path_);
  return name;
}

bool ZipReader::is_link(std::size_t index) const {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive_.get(), index, 0, &system, &attributes) != 0)
    throw_zip_error(zip_get_error(archive_.get()), path_);
  return system == ZIP_OPSYS_UNIX && S_ISLNK(attributes >> 16);
}

std::uint64_t ZipReader::declared_size(std::size_t index) const {
  zip_stat_t stat;
  if (zip_stat_index(archive_.get(), index, 0, &stat) != 0)
    throw_zip_error(zip_get_error(archive_.get()), path_);
  return (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0;
}

void ZipReader::read(std::size_t index, const ChunkSink& sink) {
  struct Close {
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
  };
  const std::uint64_t declared = declared_size(index);
  const std::unique_ptr<zip_file_t, Close> file(zip_fopen_index(archive_.get(), index, 0));
  if (!file) throw_member_error(zip_get_error(archive_.get()), name(index), path_);
  for (std::uint64_t inflated = 0;;) {
    const zip_int64_t got = zip_fread(file.get(), buffer_.data(), buffer_.size());
    if (got < 0) throw_member_error(zip_file_get_error(file.get()), name(index), path_);
    if (got == 0) return;
    inflated += static_cast<std::uint64_t>(got);
    if (inflated > declared)
      throw OverBound("zip member " + shown_member_name(name(index)) +
                      " inflates past the " + bytes_text(declared) + " it declares");
    sink(std::string_view(buffer_.data(), static_cast<std::size_t>(got)));
  }
}

void unpack_zip(const std::filesystem::path& archive, const std::filesystem::path& folder,
                const PackageBounds& bounds) {
  ZipReader zip(archive, bounds);
  for (std::size_t index = 0; index < zip.size(); ++index) {
    const std::string name = zip.name(index);
    const std::vector<std::string> parts = member_path(name);
    if (zip.is_link(index)) throw DamagedMember(name, "a link");
    if (const auto why = name_past_bounds(name, parts.size(), bounds)) throw OverBound(*why);
  }
  zip.hold_declared_bytes(bounds.bytes);
  if (const std::uint64_t free = utils::writable_bytes(folder, bounds.disk_reserve);
      zip.declared_bytes() > free)
    throw OverBound("the attachment unpacks to " + bytes_text(zip.declared_bytes()) +
                    ", more than the " + bytes_text(free) + " the disk has free beyond its reserve");

  utils::FileDescriptor root;
  root.open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  for (std::size_t index = 0; index < zip.size(); ++index) {
    const std::string name = zip.name(index);
    const std::vector<std::string> parts = member_path(name);
    if (parts.empty()) continue;  // the folder itself
    if (name.back() == '/') {
      open_folder(root.get(), parts, parts.size(), name, folder);
      continue;
    }
    const utils::FileDescriptor parent =
        open_folder(root.get(), parts, parts.size() - 1, name, folder);
    const std::filesystem::path path = folder / name;
    utils::FileDescriptor file(::openat(parent.get(), parts.back().c_str(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                        0666));
    if (!file.is_open()) {
      if (errno == EEXIST) throw DamagedMember(name, "a name that clashes with another member");
      throw utils::OSError(errno, path);
    }
    zip.read(index, [&](std::string_view chunk) { utils::write_all(file.get(), chunk, path); });
    file.close(path);
  }
}

}  // namespace velmora::networking::package
