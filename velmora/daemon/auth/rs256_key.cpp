#include "velmora/daemon/auth/rs256_key.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <optional>
#include <string>

#include "velmora/utils/text/base64url.hpp"

namespace velmora::daemon {
namespace {

template <class T, void (*free)(T*)>
struct Free {
  void operator()(T* object) const noexcept { free(object); }
};
using Bignum = std::unique_ptr<BIGNUM, Free<BIGNUM, BN_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Free<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Free<OSSL_PARAM, OSSL_PARAM_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Key = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;

// Keeps the thread's OpenSSL error queue as it was on entry, whatever the scope adds.
class ErrorQueueMark {
 public:
  ErrorQueueMark() { ERR_set_mark(); }
  ErrorQueueMark(const ErrorQueueMark&) = delete;
  ErrorQueueMark& operator=(const ErrorQueueMark&) = delete;
  ~ErrorQueueMark() { ERR_pop_to_mark(); }
};

// The big-endian unsigned integer of a JWK's base64url member, or null.
Bignum number_member(const utils::Value& jwk, const char* name) {
  const auto member = jwk.find(name);
  if (member == jwk.end() || !member->is_string()) return nullptr;
  const std::optional<std::string> bytes =
      utils::base64url_decode(member->get_ref<const std::string&>());
  if (!bytes || bytes->empty()) return nullptr;
  return Bignum(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes->data()),
                          static_cast<int>(bytes->size()), nullptr));
}

// The RSA public key of modulus n and exponent e, checked, or null.
Key rsa_public_key(const BIGNUM* n, const BIGNUM* e) {
  const ParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e) != 1)
    return nullptr;
  const Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  const KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* made = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  Key key(made);
  const KeyContext check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
  return key;
}

}  // namespace

void Rs256Key::ContextFree::operator()(EVP_MD_CTX* context) const noexcept {
  EVP_MD_CTX_free(context);
}

std::shared_ptr<const Rs256Key> Rs256Key::from_jwk(const utils::Value& jwk) {
  const ErrorQueueMark mark;
  if (!jwk.is_object()) return nullptr;
  const auto kty = jwk.find("kty");
  if (kty == jwk.end() || *kty != "RSA") return nullptr;
  const Bignum n = number_member(jwk, "n");
  const Bignum e = number_member(jwk, "e");
  if (!n || !e) return nullptr;
  const Key key = rsa_public_key(n.get(), e.get());
  if (!key) return nullptr;
  std::unique_ptr<EVP_MD_CTX, ContextFree> verifier(EVP_MD_CTX_new());
  if (!verifier || EVP_DigestVerifyInit_ex(verifier.get(), nullptr, "SHA256", nullptr, nullptr,
                                           key.get(), nullptr) != 1)
    return nullptr;
  return std::shared_ptr<const Rs256Key>(new Rs256Key(std::move(verifier)));
}

bool Rs256Key::verify(std::string_view data, std::string_view signature) const {
  const ErrorQueueMark mark;
  const std::unique_ptr<EVP_MD_CTX, ContextFree> call(EVP_MD_CTX_new());
  return call && EVP_MD_CTX_copy_ex(call.get(), verifier_.get()) == 1 &&
         EVP_DigestVerify(call.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                          data.size()) == 1;
}

}  // namespace velmora::daemon
