#include "velmora/utils/bytes.hpp"

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils {

std::string b2s(const Bytes& bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes.data) append_utf8(text, b);
  return text;
}

Bytes s2b(std::string_view text) {
  Bytes bytes;
  bytes.data.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t at = pos;
    const char32_t cp = decode_utf8(text, pos);
    if (cp == kInvalidCodePoint)
      throw ValueError("text is not valid UTF-8 at byte " + std::to_string(at));
    if (cp > 0xFF)
      throw ValueError("code point at byte " + std::to_string(at) +
                       " is above U+00FF and has no byte value");
    bytes.data.push_back(static_cast<char>(cp));
  }
  return bytes;
}

}  // namespace velmora::utils
