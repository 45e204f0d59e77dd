#pragma once
// The file side of a store: reading a store file whole, and replacing it atomically.

#include <cstddef>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/utils/file_descriptor.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::utils::store_file {

// The whole content of file, or nullopt when it does not exist; with at least spare bytes of
// capacity beyond it, for a parser that reads past the end. ValueError naming the file when it is
// no regular file (a FIFO, a device, a folder, or a link to one); OSError on any other failure.
std::optional<std::string> read(const std::filesystem::path& file, std::size_t spare = 0);

// Removes the temporary files that replacements of file left beside it when their process died
// before commit. Only this file's own leftovers go, and only regular files; a folder that cannot
// be listed is left as it is. No replacement of file may be under way.
void remove_leftovers(const std::filesystem::path& file);

// The next content of a file: written into a temporary file beside it (mode 0600), then put in
// its place at once by commit(). Dropped without commit, it removes the temporary file and the
// file stays as it was. OSError on any failure.
class Replacement {
 public:
  explicit Replacement(std::filesystem::path file);
  ~Replacement();
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  void append(std::string_view bytes);
  // fsync, rename over the file, fsync of the folder.
  void commit();

 private:
  const std::filesystem::path file_;
  std::string temp_;  // the temporary file's name; empty once renamed
  FileDescriptor fd_;  // the temporary file, open until commit
  std::size_t size_ = 0;     // bytes written
  std::size_t started_ = 0;  // bytes whose write-back has been started
};

// ValueError naming the file and the cause: a store that cannot be read back, or written.
[[noreturn]] void throw_unreadable(const std::filesystem::path& file, const std::exception& cause);
[[noreturn]] void throw_unwritable(const std::filesystem::path& file, const std::exception& cause);

}  // namespace velmora::utils::store_file
