#include "zip_maker.hpp"

#include <sys/stat.h>
#include <zip.h>

#include <fstream>
#include <stdexcept>

#include "files_and_keys.hpp"

namespace velmora::networking {
namespace {

void check(bool ok, zip_t* archive) {
  if (!ok) throw std::runtime_error(zip_strerror(archive));
}

void put_u32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint16_t u16(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

}  // namespace

void make_zip(const std::filesystem::path& path, const std::vector<TestMember>& members) {
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive) throw std::runtime_error("cannot make " + path.string());
  for (const TestMember& member : members) {
    zip_int64_t index;
    if (member.kind == TestMember::folder) {
      index = zip_dir_add(archive, member.name.c_str(), ZIP_FL_ENC_RAW);
    } else {
      zip_source_t* source =
          zip_source_buffer(archive, member.content.data(), member.content.size(), 0);
      index = zip_file_add(archive, member.name.c_str(), source, ZIP_FL_ENC_RAW);
    }
    check(index >= 0, archive);
    if (member.kind == TestMember::link) {
      check(zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                             (S_IFLNK | 0777u) << 16) == 0,
            archive);
    } else if (member.kind == TestMember::file) {
      // An empty file is stored, as zip tools do: a compressor for each costs much under TSan.
      check(zip_set_file_compression(archive, index,
                                     member.content.empty() ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                     6) == 0,
            archive);
    }
  }
  check(zip_close(archive) == 0, archive);
}

namespace {

// Writes value at the offsets local and central (from the start of the member's local header
// and of its directory entry) of member, in both records.
void patch_member(const std::filesystem::path& path, std::string_view member, std::size_t local,
                  std::size_t central, std::uint32_t value) {
  std::string bytes = read_file(path);
  int patched = 0;
  for (std::size_t at = 0; at + 46 <= bytes.size(); ++at) {
    if (bytes.compare(at, 4, "PK\3\4") == 0 &&
        std::string_view(bytes).substr(at + 30, u16(bytes, at + 26)) == member) {
      put_u32(bytes, at + local, value);
      ++patched;
    } else if (bytes.compare(at, 4, "PK\1\2") == 0 &&
               std::string_view(bytes).substr(at + 46, u16(bytes, at + 28)) == member) {
      put_u32(bytes, at + central, value);
      ++patched;
    }
  }
  if (patched != 2) throw std::runtime_error("member not found in both headers");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

void set_recorded_crc(const std::filesystem::path& path, std::string_view member,
                      std::uint32_t crc) {
  patch_member(path, member, 14, 16, crc);
}

void set_recorded_size(const std::filesystem::path& path, std::string_view member,
                       std::uint32_t size) {
  patch_member(path, member, 22, 24, size);
}

std::vector<std::pair<std::string, int>> zip_members(const std::filesystem::path& path) {
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (!archive) throw std::runtime_error("cannot open " + path.string());
  std::vector<std::pair<std::string, int>> members;
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t stat;
    zip_stat_index(archive, i, 0, &stat);
    members.emplace_back(stat.name, stat.comp_method);
  }
  zip_discard(archive);
  return members;
}

}  // namespace velmora::networking
