#pragma once
// The node's keys: 2048-bit RSA pairs, RSASSA-PSS signatures over SHA3-256 (MGF1-SHA3-256,
// 32-byte salt), DER export and import. A key never changes once made, so every method may be
// called from many threads at once. Keys are shared by reference and cannot be copied.

#include <memory>
#include <mutex>
#include <utility>

#include "velmora/utils/bytes.hpp"
#include "velmora/utils/value.hpp"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace velmora::sealcraft {

using utils::Bytes;
using utils::Value;

class PublicKey;
class PrivateKey;

// Common base of both key kinds; not for use outside this module.
class KeyBase {
 public:
  KeyBase(const KeyBase&) = delete;
  KeyBase& operator=(const KeyBase&) = delete;
  virtual ~KeyBase() = default;

  // DER: PKCS#1 RSAPrivateKey when the key holds private material, else SubjectPublicKeyInfo,
  // whatever the class.
  Bytes export_() const { return der_; }

  // Persisted state: {"_key": <export_() as bytes>}.
  Value get_state() const;

 protected:
  // An RSA key of the library, whether it holds private material, and the SubjectPublicKeyInfo
  // DER it was decoded from, when it was (encoding it again costs tens of microseconds).
  struct Material {
    std::shared_ptr<EVP_PKEY> key;
    bool has_private;
    Bytes public_der = {};
  };

  // Keeps the key's DER, and the library's key unless keep_key is false (then material_.key is
  // null, and a user decodes der_ again).
  KeyBase(Material material, bool keep_key);

  // Decodes either DER form, the public one first when public_first; throws ValueError for
  // anything that is not an RSA key.
  static Material import_der(const Bytes& raw, bool public_first);
  // The DER bytes of a persisted state; KeyError when "_key" is missing, TypeError when not bytes.
  static Bytes state_der(const Value& state);

  const Material material_;  // set once, never changed
  const Bytes der_;           // export_()'s bytes
};

class PublicKey final : public KeyBase {
 public:
  static std::shared_ptr<const PublicKey> import_key(const Bytes& raw);
  static std::shared_ptr<const PublicKey> from_state(const Value& state);

  // True when signature is a valid signature of data by this key's pair; false for any invalid
  // signature, a wrong length included.
  bool verify(const Bytes& data, const Bytes& signature) const;

 private:
  friend std::pair<std::shared_ptr<const PrivateKey>, std::shared_ptr<const PublicKey>> make_keys();
  explicit PublicKey(Material material);

  // The library's key and a context set up for it (SHA3-256, PSS), made once, on the first
  // verify: a key of public material is kept as its DER alone until then, a third of its size as
  // the library holds it (the device table holds a key per device, and verifies with none on its
  // hot paths). Every verify works on a copy of the context.
  struct Verifier {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<EVP_MD_CTX> context;
  };
  const Verifier& verifier() const;
  mutable std::once_flag verifier_made_;
  mutable Verifier verifier_;  // set once, under verifier_made_
};

class PrivateKey final : public KeyBase {
 public:
  static std::shared_ptr<const PrivateKey> import_key(const Bytes& raw);
  static std::shared_ptr<const PrivateKey> from_state(const Value& state);

  // The 256-byte signature of data (empty data when none is given); fresh random salt each call.
  // Throws RuntimeError when the key holds only public material.
  Bytes sign(const Bytes& data = Bytes()) const;

 private:
  friend std::pair<std::shared_ptr<const PrivateKey>, std::shared_ptr<const PublicKey>> make_keys();
  explicit PrivateKey(Material material);

  // Set up once for this key (SHA3-256, PSS), null without private material; every signature is
  // made on a copy of its own.
  const std::shared_ptr<EVP_MD_CTX> signer_;
};

// A new key pair, private key first. With import_key and from_state the only way to make keys.
std::pair<std::shared_ptr<const PrivateKey>, std::shared_ptr<const PublicKey>> make_keys();

}  // namespace velmora::sealcraft
