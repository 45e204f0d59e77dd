#pragma once
// A fake of the identity provider over real HTTPS: at "/oauth/token" the refresh-token grant and
// the password grant by which a front end logs a user in, the user information at "/userinfo"
// and the key set at "/.well-known/jwks.json" (the JSON Web Key of TokenMinter's test key). Any
// answer can be scripted (FakeHttpsServer::script; a redirect through Answer::headers), and every
// request is recorded and counted. Every member may be called from any thread.

#include <map>
#include <mutex>
#include <string>

#include "testing/fake_https_server.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::testing {

class FakeIdentityProvider {
 public:
  // The client identifier the node presents.
  static constexpr const char* kClientId = "Qm7TzR2wXk9LpV4sNd8HbJ3fYc6GtA1e";
  static constexpr const char* kKeySetPath = "/.well-known/jwks.json";

  explicit FakeIdentityProvider(const TlsFiles& tls);

  // The refresh-token grant answers {"access_token": access_token, ...} for this refresh token;
  // an unknown refresh token gets 403 "invalid_grant", another client 401, another grant 403.
  void set_refresh_token(const std::string& refresh_token, const std::string& access_token);
  // "/userinfo" answers {"sub": ..., "name": name} to this bearer token; any other gets 401.
  void set_user(const std::string& access_token, const std::string& name);
  // The password grant of user name (any password) answers a new access token, a TokenMinter
  // RS256 token of this provider for the request's "audience" (else the one of set_audience)
  // that "/userinfo" names name for, and this refresh token. An unknown user gets 403
  // "invalid_grant".
  void set_login(const std::string& name, const std::string& refresh_token);
  // The audience of the password grant's tokens when the request names none.
  void set_audience(const std::string& audience);
  // "/userinfo" answers this to this bearer token from now on.
  void set_userinfo_answer(const std::string& access_token, Answer answer);
  // How many "/userinfo" requests bore this token.
  int userinfo_calls(const std::string& access_token) const;

  std::string url() const { return server_.url(); }
  std::string domain() const { return server_.authority(); }
  FakeHttpsServer& server() noexcept { return server_; }
  const FakeHttpsServer& server() const noexcept { return server_; }

 private:
  Answer route(const RecordedRequest& request);
  Answer token(const RecordedRequest& request);
  Answer refresh_grant(const utils::Value& grant);
  Answer password_grant(const utils::Value& grant);
  Answer userinfo(const RecordedRequest& request);

  mutable std::mutex mutex_;
  std::map<std::string, std::string> access_tokens_;  // by refresh token; guarded by mutex_
  std::map<std::string, Answer> userinfo_answers_;    // by access token; guarded by mutex_
  std::map<std::string, int> userinfo_calls_;         // by access token; guarded by mutex_
  std::map<std::string, std::string> logins_;         // refresh token by user; guarded by mutex_
  std::string audience_;                              // guarded by mutex_
  FakeHttpsServer server_;  // last: it serves from construction on
};

}  // namespace velmora::testing
