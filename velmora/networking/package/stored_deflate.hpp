#pragma once
// Deflated members that cost a copy instead of a pass of the compressor: a file's content as a
// Deflate stream of stored blocks, handed to libzip as data compressed already, which it writes as
// it is. For data that is compressed already or does not compress, where the compressor would
// spend its time for nothing. Safe from any thread on distinct files.

#include <cstdint>
#include <filesystem>
#include <string_view>

typedef struct zip zip_t;
typedef struct zip_source zip_source_t;

namespace velmora::networking::package {

// A new source of archive for the file at path (a regular file of size bytes, modified at mtime)
// as a Deflate stream of stored blocks. Reads the file once for its CRC-32 first, then holds no
// descriptor until the archive reads the stream. Null with archive's error set when it fails (an
// OSError is thrown for a file that cannot be read).
zip_source_t* stored_deflate_source(zip_t* archive, const std::filesystem::path& path,
                                    std::uint64_t size, std::int64_t mtime);

// Whether sample looks like data that does not compress: its bytes carry nearly 8 bits of
// entropy each.
bool looks_incompressible(std::string_view sample);

}  // namespace velmora::networking::package
