#include "velmora/sealcraft/keys.hpp"

#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <string>
#include <string_view>
#include <utility>

#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::sealcraft {
namespace {

constexpr int kModulusBits = 2048;
constexpr int kSaltLength = 32;

// The library's error queue of this thread as text, emptied.
std::string openssl_errors(std::string_view what) {
  std::string text(what);
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  return text;
}

std::shared_ptr<EVP_PKEY> own(EVP_PKEY* key) { return {key, &EVP_PKEY_free}; }

// SHA3-256, fetched once for the process.
const EVP_MD* sha3_256() {
  static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA3-256", nullptr);
  if (!md) throw utils::RuntimeError(openssl_errors("SHA3-256 is not available"));
  return md;
}

using MdContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// Sets PSS padding, MGF1-SHA3-256 and the 32-byte salt on a signing or verifying context.
bool set_pss(EVP_PKEY_CTX* pctx) {
  return EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, sha3_256()) > 0 &&
         EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, kSaltLength) > 0;
}

enum class Purpose { kSign, kVerify };

// A context that signs or verifies with key under the scheme. Setting one up looks the
// algorithms up by name inside the library, a quarter of a verify's cost; so it is done once per
// key, and each call works on a copy (copying reads the original only, so threads may share it).
std::shared_ptr<EVP_MD_CTX> prepared_context(EVP_PKEY* key, Purpose purpose) {
  std::shared_ptr<EVP_MD_CTX> md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  const int ready =
      !md ? 0
      : purpose == Purpose::kSign
          ? EVP_DigestSignInit(md.get(), &pctx, sha3_256(), nullptr, key)
          : EVP_DigestVerifyInit(md.get(), &pctx, sha3_256(), nullptr, key);
  if (ready <= 0 || !set_pss(pctx))
    throw utils::RuntimeError(openssl_errors("signature context cannot be set up"));
  return md;
}

// A copy of a prepared context, for one call.
MdContext call_context(const EVP_MD_CTX* prepared, std::string_view what) {
  MdContext md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!md || EVP_MD_CTX_copy_ex(md.get(), prepared) <= 0)
    throw utils::RuntimeError(openssl_errors(what));
  return md;
}

template <class Encode>
Bytes der_of(EVP_PKEY* key, Encode encode) {
  unsigned char* out = nullptr;
  const int length = encode(key, &out);
  if (length <= 0) throw utils::RuntimeError(openssl_errors("key export failed"));
  Bytes der(std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(length)));
  OPENSSL_free(out);
  return der;
}

}  // namespace

KeyBase::KeyBase(Material material, bool keep_key)
    : material_{keep_key ? material.key : nullptr, material.has_private},
      der_(material.has_private          ? der_of(material.key.get(), i2d_PrivateKey)
           : material.public_der.empty() ? der_of(material.key.get(), i2d_PUBKEY)
                                         : std::move(material.public_der)) {}

Value KeyBase::get_state() const {
  const Bytes der = export_();
  Value state = Value::object();
  state["_key"] = Value::binary(std::vector<std::uint8_t>(der.bytes(), der.bytes() + der.size()));
  return state;
}

namespace {

// The RSA key of the SubjectPublicKeyInfo DER raw, else null. OpenSSL 3 spends most of a decode
// on setting a decoder up (d2i_PUBKEY took 165 us a key, a reused decoder 10 us; the device list
// imports one key per device), so each thread keeps one.
std::shared_ptr<EVP_PKEY> decode_rsa_public(const Bytes& raw) {
  struct Decoder {
    EVP_PKEY* decoded = nullptr;  // where the decoder puts what it reads
    OSSL_DECODER_CTX* ctx = OSSL_DECODER_CTX_new_for_pkey(
        &decoded, "DER", "SubjectPublicKeyInfo", "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr);
    ~Decoder() { OSSL_DECODER_CTX_free(ctx); }
  };
  thread_local Decoder decoder;
  if (!decoder.ctx) return nullptr;
  const unsigned char* cursor = raw.bytes();
  std::size_t left = raw.size();
  decoder.decoded = nullptr;
  const int decoded = OSSL_DECODER_from_data(decoder.ctx, &cursor, &left);
  auto key = decoder.decoded ? own(std::exchange(decoder.decoded, nullptr)) : nullptr;
  if (!decoded || !key || left != 0 || !EVP_PKEY_is_a(key.get(), "RSA")) return nullptr;
  return key;
}

// The key in raw when it is an RSA key of exactly that DER form, else null.
std::shared_ptr<EVP_PKEY> decode_rsa(const Bytes& raw, bool as_private) {
  if (!as_private) return decode_rsa_public(raw);
  const unsigned char* cursor = raw.bytes();
  EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(raw.size()));
  if (!key) return nullptr;
  auto owned = own(key);
  if (cursor != raw.bytes() + raw.size() || !EVP_PKEY_is_a(key, "RSA")) return nullptr;
  return owned;
}

}  // namespace

KeyBase::Material KeyBase::import_der(const Bytes& raw, bool public_first) {
  // A failed attempt queues its reasons on the thread, also when the other form then decodes;
  // none of them outlives this call, and what was queued before it stays.
  struct ErrorMark {
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
  } const mark;
  // The form the caller expects is tried first: OpenSSL 3 spends over a millisecond trying every
  // private key decoder on a public key's bytes, which the device list pays once per device.
  for (const bool as_private : {!public_first, public_first}) {
    if (auto key = decode_rsa(raw, as_private))
      return {std::move(key), as_private, as_private ? Bytes() : raw};
  }
  throw utils::ValueError("RSA key format is not supported");
}

Bytes KeyBase::state_der(const Value& state) {
  if (!state.is_object() || !state.contains("_key")) throw utils::KeyError("_key");
  const Value& der = state["_key"];
  if (!der.is_binary()) throw utils::argument_type_error("raw", "bytes", utils::type_name(der));
  const auto& octets = der.get_binary();
  return Bytes(std::string(octets.begin(), octets.end()));
}

PublicKey::PublicKey(Material material)
    : KeyBase(std::move(material), material.has_private) {}

const PublicKey::Verifier& PublicKey::verifier() const {
  std::call_once(verifier_made_, [this] {
    auto key = material_.key ? material_.key : decode_rsa_public(der_);
    if (!key) throw utils::RuntimeError(openssl_errors("verification failed"));
    verifier_.context = prepared_context(key.get(), Purpose::kVerify);
    verifier_.key = std::move(key);
  });
  return verifier_;
}

PrivateKey::PrivateKey(Material material)
    : KeyBase(std::move(material), true),
      signer_(material_.has_private ? prepared_context(material_.key.get(), Purpose::kSign)
                                    : nullptr) {}

std::shared_ptr<const PublicKey> PublicKey::import_key(const Bytes& raw) {
  return std::shared_ptr<const PublicKey>(new PublicKey(import_der(raw, true)));
}

std::shared_ptr<const PublicKey> PublicKey::from_state(const Value& state) {
  return import_key(state_der(state));
}

std::shared_ptr<const PrivateKey> PrivateKey::import_key(const Bytes& raw) {
  return std::shared_ptr<const PrivateKey>(new PrivateKey(import_der(raw, false)));
}

std::shared_ptr<const PrivateKey> PrivateKey::from_state(const Value& state) {
  return import_key(state_der(state));
}

Bytes PrivateKey::sign(const Bytes& data) const {
  if (!signer_) throw utils::RuntimeError("This is not a private key");
  const MdContext md = call_context(signer_.get(), "signing failed");
  std::size_t length = static_cast<std::size_t>(EVP_PKEY_get_size(material_.key.get()));
  std::string signature(length, '\0');
  if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     data.bytes(), data.size()) <= 0)
    throw utils::RuntimeError(openssl_errors("signing failed"));
  signature.resize(length);
  return Bytes(std::move(signature));
}

bool PublicKey::verify(const Bytes& data, const Bytes& signature) const {
  const MdContext md = call_context(verifier().context.get(), "verification failed");
  const int verdict = EVP_DigestVerify(md.get(), signature.bytes(), signature.size(), data.bytes(),
                                       data.size());
  ERR_clear_error();  // an invalid signature leaves its reason queued
  return verdict == 1;
}

std::pair<std::shared_ptr<const PrivateKey>, std::shared_ptr<const PublicKey>> make_keys() {
  EVP_PKEY* generated = EVP_RSA_gen(kModulusBits);
  if (!generated) throw utils::RuntimeError(openssl_errors("key generation failed"));
  auto private_key = std::shared_ptr<const PrivateKey>(new PrivateKey({own(generated), true}));
  const Bytes public_der = der_of(generated, i2d_PUBKEY);
  auto public_key = PublicKey::import_key(public_der);
  return {std::move(private_key), std::move(public_key)};
}

}  // namespace velmora::sealcraft
