#include "velmora/utils/text/base64url.hpp"

#include <array>
#include <cstdint>

namespace velmora::utils {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> kSextets = [] {
  std::array<std::uint8_t, 256> sextets{};
  sextets.fill(kNotInAlphabet);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i)
    sextets[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return sextets;
}();

}  // namespace

std::string base64url_encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() * 4 + 2) / 3);
  std::uint32_t bits = 0;
  int bit_count = 0;
  for (const char byte : bytes) {
    bits = (bits << 8) | static_cast<unsigned char>(byte);
    bit_count += 8;
    while (bit_count >= 6) {
      bit_count -= 6;
      text.push_back(kAlphabet[(bits >> bit_count) & 0x3F]);
    }
  }
  if (bit_count > 0) text.push_back(kAlphabet[(bits << (6 - bit_count)) & 0x3F]);
  return text;
}

std::optional<std::string> base64url_decode(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string bytes(text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1), '\0');
  char* out = bytes.data();
  std::uint32_t sextets_ok = 0;  // every sextet or'ed in: kNotInAlphabet shows
  const auto sextet = [&](std::size_t i) -> std::uint32_t {
    const std::uint8_t value = kSextets[static_cast<unsigned char>(text[i])];
    sextets_ok |= value;
    return value;
  };
  std::size_t i = 0;
  for (; i + 4 <= text.size(); i += 4) {
    const std::uint32_t bits =
        sextet(i) << 18 | sextet(i + 1) << 12 | sextet(i + 2) << 6 | sextet(i + 3);
    *out++ = static_cast<char>(bits >> 16);
    *out++ = static_cast<char>(bits >> 8);
    *out++ = static_cast<char>(bits);
  }
  if (const std::size_t rest = text.size() - i; rest > 0) {
    std::uint32_t bits = sextet(i) << 18 | sextet(i + 1) << 12;
    if (rest == 3) bits |= sextet(i + 2) << 6;
    *out++ = static_cast<char>(bits >> 16);
    if (rest == 3) *out++ = static_cast<char>(bits >> 8);
  }
  if (sextets_ok & 0xC0) return std::nullopt;  // only kNotInAlphabet has these bits
  return bytes;
}

}  // namespace velmora::utils
