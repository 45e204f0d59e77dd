#pragma once
// The RSA public key of one JSON Web Key of the identity provider, ready to check RS256
// signatures (RSASSA-PKCS1-v1_5 with SHA-256). Made once per key when the key set is read; verify
// may be called from many threads at once.

#include <openssl/types.h>

#include <memory>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::daemon {

class Rs256Key {
 public:
  // The key of a JWK whose "kty" is "RSA" and whose base64url "n" and "e" make a valid RSA public
  // key; null for any other JWK. Leaves nothing in the thread's OpenSSL error queue.
  static std::shared_ptr<const Rs256Key> from_jwk(const utils::Value& jwk);

  Rs256Key(const Rs256Key&) = delete;
  Rs256Key& operator=(const Rs256Key&) = delete;

  // Whether signature is this key's RS256 signature of data. Leaves nothing in the thread's
  // OpenSSL error queue.
  bool verify(std::string_view data, std::string_view signature) const;

 private:
  struct ContextFree {
    void operator()(EVP_MD_CTX* context) const noexcept;
  };
  explicit Rs256Key(std::unique_ptr<EVP_MD_CTX, ContextFree> verifier)
      : verifier_(std::move(verifier)) {}

  // Set up for the key and SHA-256 once (setting up costs a fifth of a verify: the library looks
  // the algorithms up by name); every call verifies on a copy, and copying only reads it.
  const std::unique_ptr<EVP_MD_CTX, ContextFree> verifier_;
};

}  // namespace velmora::daemon
