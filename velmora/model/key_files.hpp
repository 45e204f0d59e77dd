#pragma once
// The node's key pair in its two files, each holding exactly the DER bytes of its key: the
// private key file (PKCS#1) readable by its owner only, the public key file (SubjectPublicKeyInfo)
// at the process's default permissions. Safe from any thread; two callers must not make the same
// pair at once.

#include <filesystem>
#include <memory>

#include "velmora/sealcraft/keys.hpp"

namespace velmora::model {

struct KeyPair {
  std::shared_ptr<const sealcraft::PublicKey> pub_key;
  std::shared_ptr<const sealcraft::PrivateKey> priv_key;
};

// When something exists at both paths: logs "Importing keypair from file system" and imports
// both. When nothing exists at either: logs "Keys not found in file system; creating them", makes
// a pair and writes the private key file (mode 0600), then the public key file. Throws ValueError
// "Public key found at '<pub>', private key missing from '<priv>'" (or the converse) when only one
// exists, before anything is read or made; ValueError for a file that is no regular file, too
// large to be a key, or holds no RSA key; OSError when a file cannot be read or written.
KeyPair load_key_pair(const std::filesystem::path& pub_key_file,
                      const std::filesystem::path& priv_key_file);

}  // namespace velmora::model
