#include "velmora/daemon/auth/verify_auth.hpp"

#include <chrono>
#include <exception>

#include "velmora/daemon/auth/auth_error.hpp"
#include "velmora/daemon/auth/bearer_token.hpp"
#include "velmora/daemon/auth/token_claims.hpp"
#include "velmora/daemon/auth/unverified_token.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

[[noreturn]] void refuse_signature() { throw AuthError("Invalid signature."); }

bool is_accepted_algorithm(const utils::Value& header) {
  const auto alg = header.find("alg");
  if (alg == header.end() || !alg->is_string()) return false;
  for (const std::string_view accepted : ALGORITHMS)
    if (alg->get_ref<const std::string&>() == accepted) return true;
  return false;
}

std::int64_t seconds_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The signature, then the claims, of a token read under its key.
void decode(const UnverifiedToken& token, const Jwk& jwk, const IdentityProvider& provider) {
  if (!is_accepted_algorithm(token.header) || !jwk.rs256 ||
      !jwk.rs256->verify(token.signing_input, token.signature))
    refuse_signature();
  utils::Value claims;
  try {
    claims = utils::parse_json(token.payload);
  } catch (const utils::ValueError&) {
    refuse_signature();
  }
  if (!claims.is_object()) refuse_signature();
  check_claims(claims, provider.audience, provider.domain, seconds_now());
}

}  // namespace

void verify_token(std::string_view token, const IdentityProvider& provider,
                  const Kid2Jwk& kid2jwk) {
  const UnverifiedToken read = read_unverified_token(token);
  const auto kid = read.header.find("kid");
  if (kid == read.header.end()) throw utils::KeyError("kid");
  const auto jwk = kid->is_string() ? kid2jwk.find(kid->get_ref<const std::string&>())
                                    : kid2jwk.end();
  if (jwk == kid2jwk.end()) throw AuthError("Unable to find appropriate key");
  try {
    decode(read, jwk->second, provider);
  } catch (const AuthError&) {
    throw;
  } catch (const std::exception&) {
    throw AuthError("Unable to decode token.");
  }
}

void verify_auth(const ApiRequest& request, const IdentityProvider& provider,
                 const Kid2Jwk& kid2jwk) {
  verify_token(get_token_auth_header(request), provider, kid2jwk);
}

}  // namespace velmora::daemon
