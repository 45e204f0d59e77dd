#include "testing/fake_identity_provider.hpp"

#include "testing/token_minter.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::testing {
namespace {

using utils::Value;

Answer json_answer(int status, const Value& body) { return {status, body.dump()}; }

Answer oauth_error(int status, const char* error, const char* description) {
  return json_answer(status, {{"error", error}, {"error_description", description}});
}

// The text of member key of a JSON object, or empty.
std::string text_member(const Value& object, const char* key) {
  if (!object.is_object()) return {};
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

// One worker thread: the HTTP library is built without ThreadSanitizer, which reports races between
// its workers when several serve at once; the provider's answers are small and quick, so serving
// them one after another costs the tests nothing.
FakeIdentityProvider::FakeIdentityProvider(const TlsFiles& tls)
    : server_(tls, [this](const RecordedRequest& request) { return route(request); }, {}, 1) {}

void FakeIdentityProvider::set_refresh_token(const std::string& refresh_token,
                                             const std::string& access_token) {
  std::lock_guard lock(mutex_);
  access_tokens_[refresh_token] = access_token;
}

void FakeIdentityProvider::set_user(const std::string& access_token, const std::string& name) {
  set_userinfo_answer(access_token,
                      json_answer(200, {{"sub", "velmora|" + name}, {"name", name}}));
}

void FakeIdentityProvider::set_login(const std::string& name, const std::string& refresh_token) {
  std::lock_guard lock(mutex_);
  logins_.insert_or_assign(name, refresh_token);
}

void FakeIdentityProvider::set_audience(const std::string& audience) {
  std::lock_guard lock(mutex_);
  audience_ = audience;
}

void FakeIdentityProvider::set_userinfo_answer(const std::string& access_token, Answer answer) {
  std::lock_guard lock(mutex_);
  userinfo_answers_.insert_or_assign(access_token, std::move(answer));
}

int FakeIdentityProvider::userinfo_calls(const std::string& access_token) const {
  std::lock_guard lock(mutex_);
  const auto found = userinfo_calls_.find(access_token);
  return found == userinfo_calls_.end() ? 0 : found->second;
}

Answer FakeIdentityProvider::route(const RecordedRequest& request) {
  if (request.method == "POST" && request.path == "/oauth/token") return token(request);
  if (request.method == "GET" && request.path == "/userinfo") return userinfo(request);
  if (request.method == "GET" && request.path == kKeySetPath) {
    static const Value key_set = {{"keys", {TokenMinter().jwk()}}};  // made at the first request
    return json_answer(200, key_set);
  }
  return {404, "Not Found", "text/plain"};
}

Answer FakeIdentityProvider::token(const RecordedRequest& request) {
  Value grant;
  try {
    grant = utils::parse_json(request.body);
  } catch (const utils::ValueError&) {
    return oauth_error(400, "invalid_request", "The body is not JSON.");
  }
  if (text_member(grant, "client_id") != kClientId)
    return oauth_error(401, "access_denied", "Unauthorized");
  const std::string grant_type = text_member(grant, "grant_type");
  if (grant_type == "refresh_token") return refresh_grant(grant);
  if (grant_type == "password") return password_grant(grant);
  return oauth_error(403, "unsupported_grant_type", "Grant type not allowed for the client.");
}

Answer FakeIdentityProvider::refresh_grant(const Value& grant) {
  std::lock_guard lock(mutex_);
  const auto found = access_tokens_.find(text_member(grant, "refresh_token"));
  if (found == access_tokens_.end())
    return oauth_error(403, "invalid_grant", "Unknown or invalid refresh token.");
  return json_answer(200, {{"access_token", found->second},
                           {"scope", "openid profile"},
                           {"expires_in", 86400},
                           {"token_type", "Bearer"}});
}

Answer FakeIdentityProvider::password_grant(const Value& grant) {
  const std::string user = text_member(grant, "username");
  std::string audience = text_member(grant, "audience");
  std::string refresh_token;
  {
    std::lock_guard lock(mutex_);
    const auto found = logins_.find(user);
    if (found == logins_.end())
      return oauth_error(403, "invalid_grant", "Wrong email or password.");
    refresh_token = found->second;
    if (audience.empty()) audience = audience_;
  }
  const std::string access_token =
      TokenMinter().rs256(TokenMinter::claims(domain(), audience, user));
  set_user(access_token, user);
  return json_answer(200, {{"access_token", access_token},
                           {"refresh_token", refresh_token},
                           {"scope", "openid profile offline_access"},
                           {"expires_in", 3600},
                           {"token_type", "Bearer"}});
}

Answer FakeIdentityProvider::userinfo(const RecordedRequest& request) {
  const std::string token = request.bearer_token();
  std::lock_guard lock(mutex_);
  ++userinfo_calls_[token];
  const auto found = userinfo_answers_.find(token);
  if (found == userinfo_answers_.end()) return {401, "Unauthorized", "text/plain"};
  return found->second;
}

}  // namespace velmora::testing
