#pragma once
// Zip archives made by tests, hostile ones included: libzip stores whatever name it is given.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::networking {

struct TestMember {
  enum Kind { file, folder, link };
  std::string name;
  std::string content;  // a link's target
  Kind kind = file;
};

// Writes a zip archive of members, deflated (empty files stored), at path.
void make_zip(const std::filesystem::path& path, const std::vector<TestMember>& members);

// Writes crc as member's CRC-32 into both its local header and its directory entry.
void set_recorded_crc(const std::filesystem::path& path, std::string_view member,
                      std::uint32_t crc);

// Writes size as member's uncompressed size into both its local header and its directory entry:
// a member that lies about what it inflates to.
void set_recorded_size(const std::filesystem::path& path, std::string_view member,
                       std::uint32_t size);

// The names and compression methods of the members of an archive, in its order.
std::vector<std::pair<std::string, int>> zip_members(const std::filesystem::path& path);

}  // namespace velmora::networking
