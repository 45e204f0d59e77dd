#include "velmora/utils/error.hpp"

#include <cstring>

#include "velmora/utils/text/literal_text.hpp"

namespace velmora::utils {

KeyError::KeyError(const Value& key) : Error(literal_text(key)), key_(key) {}

OSError::OSError(int error_number, const std::filesystem::path& path)
    : Error("[Errno " + std::to_string(error_number) + "] " + std::strerror(error_number) + ": " +
            literal_text(Value(path.string()))),
      error_number_(error_number),
      path_(path) {}

}  // namespace velmora::utils
