#pragma once
// UTF-8 decoding and encoding of single code points.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::utils {

inline constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;

// Decodes the code point at text[pos] and advances pos past it. Returns kInvalidCodePoint (and
// advances by one byte) on a malformed, overlong or surrogate sequence.
char32_t decode_utf8(std::string_view text, std::size_t& pos) noexcept;

// Appends the UTF-8 form of cp (which must be a Unicode scalar value).
void append_utf8(std::string& out, char32_t cp);

// The longest prefix of text holding at most max_chars code points (C's "%.Ns" on text).
std::string_view utf8_prefix(std::string_view text, std::size_t max_chars) noexcept;

}  // namespace velmora::utils
