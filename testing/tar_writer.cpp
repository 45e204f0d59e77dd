#include "testing/tar_writer.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <sys/sysmacros.h>

#include <algorithm>

#include "velmora/utils/error.hpp"

namespace velmora::testing {
namespace {

std::string error_text(archive* tar) {
  const char* text = archive_error_string(tar);
  return text ? text : "no reason given";
}

la_ssize_t append(archive*, void* written, const void* data, size_t size) {
  static_cast<std::string*>(written)->append(static_cast<const char*>(data), size);
  return static_cast<la_ssize_t>(size);
}

}  // namespace

TarWriter::TarWriter() : tar_(archive_write_new()) {
  archive_write_set_format_pax_restricted(tar_);
  archive_write_set_bytes_in_last_block(tar_, 1);
  if (archive_write_open(tar_, &written_, nullptr, append, nullptr) != ARCHIVE_OK)
    throw utils::RuntimeError(error_text(tar_));
}

TarWriter::~TarWriter() { archive_write_free(tar_); }

TarWriter& TarWriter::file(const std::string& name, const std::string& content, mode_t mode,
                           time_t mtime) {
  return add(
      name, AE_IFREG, mode,
      [&](archive_entry* entry) {
        archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
        if (mtime) archive_entry_set_mtime(entry, mtime, 0);
      },
      content);
}

TarWriter& TarWriter::sparse(const std::string& name, std::int64_t size, std::int64_t offset,
                             const std::string& content) {
  add(name, AE_IFREG, 0644, [&](archive_entry* entry) {
    archive_entry_set_size(entry, size);
    archive_entry_sparse_add_entry(entry, offset, static_cast<la_int64_t>(content.size()));
  });
  // The writer takes the whole file and passes over its holes, which it never reads.
  static const std::string hole(std::size_t{1} << 20, '\0');
  for (std::int64_t left = offset; left > 0;) {
    const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(left, hole.size()));
    if (archive_write_data(tar_, hole.data(), piece) != static_cast<la_ssize_t>(piece))
      throw utils::RuntimeError("cannot archive " + name + ": " + error_text(tar_));
    left -= static_cast<std::int64_t>(piece);
  }
  if (archive_write_data(tar_, content.data(), content.size()) !=
      static_cast<la_ssize_t>(content.size()))
    throw utils::RuntimeError("cannot archive " + name + ": " + error_text(tar_));
  return *this;
}

TarWriter& TarWriter::folder(const std::string& name, mode_t mode) {
  return add(name, AE_IFDIR, mode, [](archive_entry*) {});
}

TarWriter& TarWriter::symlink(const std::string& name, const std::string& target) {
  return add(name, AE_IFLNK, 0777,
             [&](archive_entry* entry) { archive_entry_set_symlink(entry, target.c_str()); });
}

TarWriter& TarWriter::hardlink(const std::string& name, const std::string& target) {
  return add(name, AE_IFREG, 0644,
             [&](archive_entry* entry) { archive_entry_set_hardlink(entry, target.c_str()); });
}

TarWriter& TarWriter::special(const std::string& name, unsigned type) {
  return add(name, type, 0666,
             [](archive_entry* entry) { archive_entry_set_rdev(entry, makedev(1, 3)); });
}

std::string TarWriter::bytes() {
  if (!closed_ && archive_write_close(tar_) != ARCHIVE_OK)
    throw utils::RuntimeError(error_text(tar_));
  closed_ = true;
  return written_;
}

TarWriter& TarWriter::add(const std::string& name, unsigned type, mode_t mode,
                          const std::function<void(archive_entry*)>& details,
                          const std::string& content) {
  if (closed_) throw utils::RuntimeError("the archive is closed");
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, name.c_str());
  archive_entry_set_filetype(entry, type);
  archive_entry_set_perm(entry, mode);
  archive_entry_set_uid(entry, 1234);  // an owner that is not the node's
  archive_entry_set_gid(entry, 1234);
  details(entry);
  const bool written =
      archive_write_header(tar_, entry) == ARCHIVE_OK &&
      (content.empty() || archive_write_data(tar_, content.data(), content.size()) ==
                              static_cast<la_ssize_t>(content.size()));
  archive_entry_free(entry);
  if (!written) throw utils::RuntimeError("cannot archive " + name + ": " + error_text(tar_));
  return *this;
}

}  // namespace velmora::testing
