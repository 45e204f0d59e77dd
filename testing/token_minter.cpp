#include "testing/token_minter.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <chrono>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/base64url.hpp"

namespace velmora::testing {
namespace {

using utils::Value;

void check(bool ok, const char* what) {
  if (!ok) throw utils::RuntimeError(std::string("token minter: ") + what + " failed");
}

std::shared_ptr<EVP_PKEY> fresh_key() {
  std::shared_ptr<EVP_PKEY> key(EVP_RSA_gen(2048), &EVP_PKEY_free);
  check(key != nullptr, "key generation");
  return key;
}

// The base64url text of one RSA parameter of key, big-endian.
std::string rsa_parameter(EVP_PKEY* key, const char* name) {
  BIGNUM* number = nullptr;
  check(EVP_PKEY_get_bn_param(key, name, &number) == 1, "reading the key");
  std::string bytes(static_cast<std::size_t>(BN_num_bytes(number)), '\0');
  BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
  BN_free(number);
  return utils::base64url_encode(bytes);
}

std::string rs256_signature(EVP_PKEY* key, std::string_view data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::size_t length = 0;
  check(md && EVP_DigestSignInit_ex(md.get(), nullptr, "SHA256", nullptr, nullptr, key,
                                    nullptr) == 1 &&
            EVP_DigestSign(md.get(), nullptr, &length,
                           reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1,
        "signing");
  std::string signature(length, '\0');
  check(EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1,
        "signing");
  signature.resize(length);
  return signature;
}

std::string signing_input(const Value& header, const Value& claims) {
  return utils::base64url_encode(header.dump()) + "." + utils::base64url_encode(claims.dump());
}

}  // namespace

TokenMinter::TokenMinter(std::string kid) : kid_(std::move(kid)) {
  static const std::shared_ptr<EVP_PKEY> test_key = fresh_key();
  key_ = test_key;
}

TokenMinter TokenMinter::with_fresh_key(std::string kid) { return {std::move(kid), fresh_key()}; }

Value TokenMinter::jwk() const {
  return {{"kty", "RSA"},
          {"use", "sig"},
          {"alg", "RS256"},
          {"kid", kid_},
          {"n", rsa_parameter(key_.get(), OSSL_PKEY_PARAM_RSA_N)},
          {"e", rsa_parameter(key_.get(), OSSL_PKEY_PARAM_RSA_E)}};
}

Value TokenMinter::claims(std::string_view domain, std::string_view audience,
                          std::string_view user) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return {{"iss", "https://" + std::string(domain) + "/"},
          {"sub", "velmora|" + std::string(user)},
          {"aud", std::string(audience)},
          {"iat", now - 60},
          {"exp", now + 3600},
          {"scope", "openid profile"}};
}

std::string TokenMinter::rs256(const Value& claims, const Value& header_changes) const {
  Value header = {{"alg", "RS256"}, {"typ", "JWT"}, {"kid", kid_}};
  for (const auto& [name, value] : header_changes.items()) {
    if (value.is_null()) header.erase(name);
    else header[name] = value;
  }
  const std::string input = signing_input(header, claims);
  return input + "." + utils::base64url_encode(rs256_signature(key_.get(), input));
}

std::string TokenMinter::hs256(const Value& header, const Value& claims, std::string_view secret) {
  const std::string input = signing_input(header, claims);
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  check(HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
             reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac,
             &length) != nullptr,
        "HMAC");
  return input + "." +
         utils::base64url_encode(std::string_view(reinterpret_cast<char*>(mac), length));
}

std::string TokenMinter::segments(std::string_view header, std::string_view payload,
                                  std::string_view signature) {
  return utils::base64url_encode(header) + "." + utils::base64url_encode(payload) + "." +
         utils::base64url_encode(signature);
}

}  // namespace velmora::testing
