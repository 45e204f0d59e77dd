#pragma once
// UTF-8 decoding and encoding of single code points.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::utils {

inline constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;

// Decodes the code point at text[pos] and advances pos past it. Returns kInvalidCodePoint (and
// advances by one byte) on a malformed, overlong or surrogate sequence. Inline: the text writers
// call it once per character.
inline char32_t decode_utf8(std::string_view text, std::size_t& pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length;
  char32_t cp;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kInvalidCodePoint;
  }
  if (length > text.size() - pos) {
    ++pos;
    return kInvalidCodePoint;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kInvalidCodePoint;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kInvalidCodePoint;
  }
  pos += length;
  return cp;
}

// Appends the UTF-8 form of cp (which must be a Unicode scalar value).
void append_utf8(std::string& out, char32_t cp);

// The longest prefix of text holding at most max_chars code points (C's "%.Ns" on text).
std::string_view utf8_prefix(std::string_view text, std::size_t max_chars) noexcept;

}  // namespace velmora::utils
