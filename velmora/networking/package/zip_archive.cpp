#include "velmora/networking/package/zip_archive.hpp"

#include <fcntl.h>
#include <zip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "velmora/networking/package/stored_deflate.hpp"
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

void add_folder_contents(ZipWriter& zip, const std::filesystem::path& folder,
                         const std::string& prefix, int level) {
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
      zip.add_file(name, entry, level, target, starts_incompressible(entry));
    } else if (S_ISDIR(target.st_mode)) {
      zip.add_folder(name + "/", target.st_mode, target.st_mtime);
      struct stat link {};
      if (::lstat(entry.c_str(), &link) != 0) throw utils::OSError(errno, entry);
      if (!S_ISLNK(link.st_mode)) add_folder_contents(zip, entry, name + "/", level);
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
                      int level) {
  ZipWriter zip(archive);
  add_folder_contents(zip, folder, "", level);
  zip.close();
}

void ZipReader::Discard::operator()(zip_t* archive) const noexcept { zip_discard(archive); }

ZipReader::ZipReader(const std::filesystem::path& archive)
    : path_(archive), buffer_(kReadBuffer) {
  int code = 0;
  archive_.reset(zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
  if (!archive_) throw_zip_code(code, archive);
  const zip_int64_t entries = zip_get_num_entries(archive_.get(), 0);
  if (entries < 0) throw_zip_error(zip_get_error(archive_.get()), path_);
  size_ = static_cast<std::size_t>(entries);
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

void ZipReader::read(std::size_t index, const ChunkSink& sink) {
  struct Close {
    void operator()(zip_file_t* file) const noexcept { zip_fclose(file); }
  };
  const std::unique_ptr<zip_file_t, Close> file(zip_fopen_index(archive_.get(), index, 0));
  if (!file) throw_member_error(zip_get_error(archive_.get()), name(index), path_);
  for (;;) {
    const zip_int64_t got = zip_fread(file.get(), buffer_.data(), buffer_.size());
    if (got < 0) throw_member_error(zip_file_get_error(file.get()), name(index), path_);
    if (got == 0) return;
    sink(std::string_view(buffer_.data(), static_cast<std::size_t>(got)));
  }
}

void unpack_zip(const std::filesystem::path& archive, const std::filesystem::path& folder) {
  ZipReader zip(archive);
  utils::FileDescriptor root;
  root.open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  for (std::size_t index = 0; index < zip.size(); ++index) {
    const std::string name = zip.name(index);
    const std::vector<std::string> parts = member_path(name);
    if (zip.is_link(index)) throw DamagedMember(name, "a link");
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
