#include "velmora/daemon/auth/token_claims.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "velmora/daemon/auth/auth_error.hpp"

namespace velmora::daemon {
namespace {

[[noreturn]] void refuse() { throw AuthError("Invalid token claims."); }

const utils::Value* member(const utils::Value& claims, const char* name) {
  const auto found = claims.find(name);
  return found == claims.end() ? nullptr : &*found;
}

// The whole part of a time claim: nothing when absent, a refusal when it is no number.
std::optional<double> time_claim(const utils::Value& claims, const char* name) {
  const utils::Value* value = member(claims, name);
  if (!value) return std::nullopt;
  if (!value->is_number()) refuse();
  return std::trunc(value->get<double>());
}

bool names_audience(const utils::Value& aud, std::string_view audience) {
  if (aud.is_string()) return aud.get_ref<const std::string&>() == audience;
  if (!aud.is_array()) refuse();
  bool named = false;
  for (const utils::Value& entry : aud) {
    if (!entry.is_string()) refuse();
    named = named || entry.get_ref<const std::string&>() == audience;
  }
  return named;
}

bool is_issuer(const utils::Value* iss, std::string_view domain) {
  if (!iss || !iss->is_string()) return false;
  std::string_view text = iss->get_ref<const std::string&>();
  constexpr std::string_view kScheme = "https://";
  if (!text.starts_with(kScheme) || !text.ends_with('/')) return false;
  text.remove_prefix(kScheme.size());
  text.remove_suffix(1);
  return text == domain;
}

void check_text_if_present(const utils::Value& claims, const char* name) {
  const utils::Value* value = member(claims, name);
  if (value && !value->is_string()) refuse();
}

}  // namespace

void check_claims(const utils::Value& claims, std::string_view audience, std::string_view domain,
                  std::int64_t now) {
  const double at = static_cast<double>(now);
  time_claim(claims, "iat");
  if (const auto nbf = time_claim(claims, "nbf"); nbf && *nbf > at) refuse();
  if (const auto exp = time_claim(claims, "exp"); exp && *exp < at)
    throw AuthError("Expired token signature.");
  const utils::Value* aud = member(claims, "aud");
  if (!aud || !names_audience(*aud, audience)) refuse();
  if (!is_issuer(member(claims, "iss"), domain)) refuse();
  check_text_if_present(claims, "sub");
  check_text_if_present(claims, "jti");
}

}  // namespace velmora::daemon
