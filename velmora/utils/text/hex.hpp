#pragma once
// Bytes as lowercase hexadecimal digits, two a byte, as ids and fingerprints are written. A pure
// function: safe from any thread.

#include <string>
#include <string_view>

namespace velmora::utils {

std::string hex_digits(std::string_view bytes);

}  // namespace velmora::utils
