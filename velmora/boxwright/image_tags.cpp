#include "velmora/boxwright/image_tags.hpp"

#include <algorithm>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::boxwright {
namespace {

constexpr std::string_view kNameAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789._-";
constexpr std::string_view kNameTrim = "._-";
constexpr std::string_view kVersionAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-";
constexpr std::string_view kVersionTrim = ".-";

// The ASCII character that the full Unicode lower-case mapping of cp begins with, when the rest
// of the mapping can only be removed afterwards; 0 when the mapping holds no ASCII at all. Beyond
// the ASCII capitals, two characters map to ASCII letters: U+0130 (capital I with dot above, to
// "i" and a combining dot) and U+212A (the Kelvin sign, to "k").
char ascii_lower(char32_t cp) {
  if (cp >= 'A' && cp <= 'Z') return static_cast<char>(cp - 'A' + 'a');
  if (cp < 0x80) return static_cast<char>(cp);
  if (cp == 0x0130) return 'i';
  if (cp == 0x212A) return 'k';
  return 0;
}

// text without every character c for which drop(text, i) holds, all judged on text as it was.
template <class Drop>
std::string without(const std::string& text, Drop drop) {
  std::string kept;
  kept.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!drop(text, i)) kept.push_back(text[i]);
  return kept;
}

}  // namespace

std::string sanitize_name(std::string_view name) {
  std::string letters;
  letters.reserve(name.size());
  for (std::size_t pos = 0; pos < name.size();) {
    const char c = ascii_lower(utils::decode_utf8(name, pos));
    if (c != 0 && kNameAlphabet.find(c) != std::string_view::npos) letters.push_back(c);
  }
  letters = without(letters, [](const std::string& s, std::size_t i) {
    return i >= 1 && s[i] == '.' && s[i - 1] == '.';
  });
  letters = without(letters, [](const std::string& s, std::size_t i) {
    return i >= 2 && s[i] == '_' && s[i - 1] == '_' && s[i - 2] == '_';
  });
  const auto first = letters.find_first_not_of(kNameTrim);
  if (first == std::string::npos) return "";
  return letters.substr(first, letters.find_last_not_of(kNameTrim) + 1 - first);
}

std::string sanitize_version(std::string_view version) {
  std::string kept;
  kept.reserve(version.size());
  for (const char c : version) {
    // Bytes from 0x80 up belong to characters beyond ASCII, none of which is kept.
    if (static_cast<unsigned char>(c) < 0x80 && kVersionAlphabet.find(c) != std::string_view::npos)
      kept.push_back(c);
  }
  kept.erase(0, std::min(kept.find_first_not_of(kVersionTrim), kept.size()));
  if (kept.size() > MAX_CHARS)
    throw utils::RuntimeError("Image tag exceeds character limit (" + std::to_string(MAX_CHARS) +
                              ")");
  return kept;
}

std::string sanitize_tag(std::string_view name, std::string_view version) {
  std::string tag = sanitize_name(name);
  tag += ':';
  tag += sanitize_version(version);
  return tag;
}

}  // namespace velmora::boxwright
