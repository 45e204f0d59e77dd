#include "velmora/utils/error.hpp"

#include <cstring>

namespace velmora::utils {
namespace {

// Single-quoted text with quotes and backslashes escaped.
std::string single_quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string key_text(const Value& key) {
  return key.is_string() ? single_quoted(key.get_ref<const std::string&>()) : key.dump();
}

}  // namespace

KeyError::KeyError(const Value& key) : Error(key_text(key)), key_(key) {}

OSError::OSError(int error_number, const std::filesystem::path& path)
    : Error("[Errno " + std::to_string(error_number) + "] " + std::strerror(error_number) + ": " +
            single_quoted(path.string())),
      error_number_(error_number),
      path_(path) {}

}  // namespace velmora::utils
