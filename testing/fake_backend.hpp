#pragma once
// A fake of the backend server over real HTTPS. It serves the token route ("refresh/token" below
// any base path) and the ten endpoints of the backend's table; for those it checks the bearer
// token and each body's "sig" against the sending device's public key (by the literal text of the
// sorted members without "sig"), and answers a request it cannot accept with valid false and a
// non-zero code. Any answer can be scripted per path (FakeHttpsServer::script); every request is
// recorded and counted. Free of any test framework. Every member may be called from any thread.

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "testing/fake_https_server.hpp"
#include "velmora/sealcraft/keys.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::testing {

class FakeBackend {
 public:
  explicit FakeBackend(const TlsFiles& tls);

  // The token route answers access_token, as plain text, for this refresh token; an unknown one
  // gets 401.
  void set_refresh_token(const std::string& refresh_token, const std::string& access_token);
  // Requests that bear this token are answered 401 with the code "token_expired".
  void expire_access_token(const std::string& access_token);
  // The key that checks the signatures of the device whose id text ("uuid") is uuid.
  void set_device_key(const std::string& uuid, std::shared_ptr<const sealcraft::PublicKey> key);

  // The answer of a backend that finds the bearer token expired.
  static Answer token_expired();
  // A 200 answer of these members: what the backend answers a signed request.
  static Answer backend_answer(const utils::Value& members);

  std::string url() const { return server_.url(); }
  FakeHttpsServer& server() noexcept { return server_; }
  const FakeHttpsServer& server() const noexcept { return server_; }

 private:
  Answer route(const RecordedRequest& request);
  Answer refresh_token(const RecordedRequest& request);
  Answer signed_request(const RecordedRequest& request);

  mutable std::mutex mutex_;
  std::map<std::string, std::string> access_tokens_;  // by refresh token; guarded by mutex_
  std::set<std::string> expired_tokens_;              // guarded by mutex_
  // by device id text; guarded by mutex_
  std::map<std::string, std::shared_ptr<const sealcraft::PublicKey>> device_keys_;
  FakeHttpsServer server_;  // last: it serves from construction on
};

}  // namespace velmora::testing
