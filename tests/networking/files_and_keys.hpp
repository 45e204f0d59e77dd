#pragma once
// Readings that several tests make: a file's bytes, and a mapping's keys in their order.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "velmora/utils/value.hpp"

namespace velmora::networking {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Writes content to path, making the missing folders above it.
inline void write_file(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::vector<std::string> keys_of(const utils::Value& mapping) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : mapping.items()) keys.push_back(key);
  return keys;
}

}  // namespace velmora::networking
