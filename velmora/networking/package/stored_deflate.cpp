#include "velmora/networking/package/stored_deflate.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::networking::package {
namespace {

constexpr std::uint64_t kBlock = 65535;  // the most a stored block holds
constexpr std::size_t kHeader = 5;       // BFINAL/BTYPE byte, LEN, NLEN
constexpr std::size_t kCrcBuffer = std::size_t{1} << 20;

std::uint64_t blocks_of(std::uint64_t size) {
  return std::max<std::uint64_t>(1, (size + kBlock - 1) / kBlock);
}

// The CRC-32 of the first size bytes of the file (fewer when it is shorter).
std::uint32_t file_crc(int fd, std::uint64_t size, const std::filesystem::path& path) {
  std::vector<unsigned char> buffer(kCrcBuffer);
  uLong crc = crc32(0, nullptr, 0);
  for (std::uint64_t offset = 0; offset < size;) {
    const std::size_t want = std::min<std::uint64_t>(buffer.size(), size - offset);
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw utils::OSError(errno, path);
    if (got == 0) break;
    crc = crc32(crc, buffer.data(), static_cast<uInt>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return static_cast<std::uint32_t>(crc);
}

// The state of one source: the file, and how far its stream has been read.
struct StoredDeflate {
  StoredDeflate(std::filesystem::path path, std::uint64_t size, std::int64_t mtime)
      : path(std::move(path)), size(size), mtime(mtime) {
    zip_error_init(&error);
  }
  StoredDeflate(const StoredDeflate&) = delete;
  StoredDeflate& operator=(const StoredDeflate&) = delete;
  ~StoredDeflate() { zip_error_fini(&error); }

  std::filesystem::path path;
  // Open only between the source's OPEN and CLOSE: an archive holds a source for every member
  // until it is written, and a folder may have more files than the process may keep open.
  utils::FileDescriptor file;
  std::uint64_t size;
  std::int64_t mtime;
  std::uint32_t crc = 0;
  std::uint64_t offset = 0;        // in the file
  std::array<unsigned char, kHeader> header{};
  std::size_t header_left = 0;     // bytes of header still to give
  std::uint64_t block_left = 0;    // bytes of the current block still to give
  bool finished = false;
  zip_error_t error;

  // The header of the next block, made current.
  void start_block() {
    const std::uint64_t length = std::min(kBlock, size - offset);
    const bool last = offset + length == size;
    header = {static_cast<unsigned char>(last ? 1 : 0), static_cast<unsigned char>(length & 0xFF),
              static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(~length & 0xFF),
              static_cast<unsigned char>((~length >> 8) & 0xFF)};
    header_left = kHeader;
    block_left = length;
    finished = last;
  }

  zip_int64_t read(unsigned char* out, std::uint64_t capacity) {
    std::uint64_t given = 0;
    while (given < capacity) {
      if (header_left == 0 && block_left == 0) {
        if (finished) break;
        start_block();
      }
      if (header_left > 0) {
        const std::size_t n = std::min<std::uint64_t>(header_left, capacity - given);
        std::memcpy(out + given, header.data() + (kHeader - header_left), n);
        header_left -= n;
        given += n;
        continue;
      }
      const std::size_t want = std::min(block_left, capacity - given);
      const ssize_t got = ::pread(file.get(), out + given, want, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {  // an error, or a file that shrank
        zip_error_set(&error, ZIP_ER_READ, got < 0 ? errno : EIO);
        return -1;
      }
      offset += static_cast<std::uint64_t>(got);
      block_left -= static_cast<std::uint64_t>(got);
      given += static_cast<std::uint64_t>(got);
    }
    return static_cast<zip_int64_t>(given);
  }

  zip_int64_t stat(void* data, std::uint64_t length) {
    if (length < sizeof(zip_stat_t)) {
      zip_error_set(&error, ZIP_ER_INVAL, 0);
      return -1;
    }
    auto* st = static_cast<zip_stat_t*>(data);
    zip_stat_init(st);
    st->size = size;
    st->comp_size = size + kHeader * blocks_of(size);
    st->comp_method = ZIP_CM_DEFLATE;
    st->encryption_method = ZIP_EM_NONE;
    st->crc = crc;
    st->mtime = static_cast<time_t>(mtime);
    st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_CRC | ZIP_STAT_MTIME;
    return sizeof(zip_stat_t);
  }
};

zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* source = static_cast<StoredDeflate*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      try {
        source->file.open(source->path, O_RDONLY);
      } catch (const utils::OSError& failure) {
        zip_error_set(&source->error, ZIP_ER_OPEN, failure.error_number());
        return -1;
      }
      source->offset = 0;
      source->header_left = source->block_left = 0;
      source->finished = false;
      return 0;
    case ZIP_SOURCE_READ: return source->read(static_cast<unsigned char*>(data), length);
    case ZIP_SOURCE_CLOSE:
      source->file = utils::FileDescriptor();
      return 0;
    case ZIP_SOURCE_STAT: return source->stat(data, length);
    case ZIP_SOURCE_ERROR: return zip_error_to_data(&source->error, data, length);
    case ZIP_SOURCE_FREE:
      delete source;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                            ZIP_SOURCE_SUPPORTS, -1);
    default:
      zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

zip_source_t* stored_deflate_source(zip_t* archive, const std::filesystem::path& path,
                                    std::uint64_t size, std::int64_t mtime) {
  auto source = std::make_unique<StoredDeflate>(path, size, mtime);
  utils::FileDescriptor file;
  file.open(path, O_RDONLY);
  source->crc = file_crc(file.get(), size, path);
  zip_source_t* made = zip_source_function(archive, &callback, source.get());
  if (made) (void)source.release();  // the source frees it
  return made;
}

bool looks_incompressible(std::string_view sample) {
  if (sample.size() < 4096) return false;  // too little to tell; small files cost little anyway
  std::array<std::size_t, 256> counts{};
  for (const char c : sample) ++counts[static_cast<unsigned char>(c)];
  double entropy = 0;
  for (const std::size_t count : counts) {
    if (count == 0) continue;
    const double p = static_cast<double>(count) / static_cast<double>(sample.size());
    entropy -= p * std::log2(p);
  }
  return entropy > 7.9;
}

}  // namespace velmora::networking::package
