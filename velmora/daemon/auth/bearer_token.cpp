#include "velmora/daemon/auth/bearer_token.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "velmora/daemon/auth/auth_error.hpp"

namespace velmora::daemon {
namespace {

bool is_blank(char c) {
  return c <= ' ' &&
         (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r');
}

// The first words of a text whose words runs of blanks separate (leading and trailing blanks
// make none); count stops at three.
struct FirstWords {
  std::array<std::string_view, 3> words;
  std::size_t count = 0;
};

FirstWords first_words(std::string_view text) {
  FirstWords found;
  std::size_t at = 0;
  while (found.count < found.words.size()) {
    while (at < text.size() && is_blank(text[at])) ++at;
    if (at == text.size()) break;
    const std::size_t start = at;
    while (at < text.size() && !is_blank(text[at])) ++at;
    found.words[found.count++] = text.substr(start, at - start);
  }
  return found;
}

bool is_bearer(std::string_view word) {
  constexpr std::string_view kBearer = "bearer";
  return std::equal(word.begin(), word.end(), kBearer.begin(), kBearer.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

}  // namespace

std::string_view get_token_auth_header(const ApiRequest& request) {
  const std::string_view auth = request.header("Authorization");
  if (auth.empty()) throw AuthError("Authorization header is expected");
  const FirstWords parts = first_words(auth);
  if (parts.count == 0)
    throw utils::IndexError("the Authorization header holds nothing but white space");
  if (!is_bearer(parts.words[0])) throw AuthError("Authorization header must start with Bearer");
  if (parts.count == 1) throw AuthError("Token not found");
  if (parts.count > 2) throw AuthError("Authorization header must be 'Bearer {token}'");
  return parts.words[1];
}

}  // namespace velmora::daemon
