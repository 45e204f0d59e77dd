#pragma once
// Tar archives built entry by entry in memory, hostile ones included (absolute names, "..",
// links, devices), as an engine or a peer might send them.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

struct archive;
struct archive_entry;

namespace velmora::testing {

class TarWriter {
 public:
  TarWriter();
  TarWriter(const TarWriter&) = delete;
  TarWriter& operator=(const TarWriter&) = delete;
  ~TarWriter();

  TarWriter& file(const std::string& name, const std::string& content, mode_t mode = 0644,
                  time_t mtime = 0);
  TarWriter& folder(const std::string& name, mode_t mode = 0755);
  // A sparse file of size bytes, all a hole but content at offset: the archive holds only that.
  TarWriter& sparse(const std::string& name, std::int64_t size, std::int64_t offset,
                    const std::string& content);
  TarWriter& symlink(const std::string& name, const std::string& target);
  TarWriter& hardlink(const std::string& name, const std::string& target);
  // An entry of that libarchive type (AE_IFCHR, AE_IFBLK, AE_IFIFO) for device 1,3.
  TarWriter& special(const std::string& name, unsigned type);

  // The archive so far, closed with its end marker.
  std::string bytes();

 private:
  TarWriter& add(const std::string& name, unsigned type, mode_t mode,
                 const std::function<void(archive_entry*)>& details,
                 const std::string& content = "");

  archive* tar_;
  std::string written_;
  bool closed_ = false;
};

}  // namespace velmora::testing
