#pragma once
// Self-signed TLS certificates for test servers and clients.

#include <filesystem>
#include <string_view>

namespace velmora::testing {

struct TlsFiles {
  std::filesystem::path cert;  // PEM certificate
  std::filesystem::path key;   // PEM private key
};

// The key of a certificate. A TLS server signs with it once per handshake: an EC key costs a
// small part of what an RSA key does.
enum class TlsKey { rsa2048, ec_p256 };

// A fresh key and a self-signed CA certificate for localhost and 127.0.0.1, written to
// folder/<name>.crt and folder/<name>.key. Trusting the certificate trusts exactly that pair.
TlsFiles make_self_signed_certificate(const std::filesystem::path& folder, std::string_view name,
                                      TlsKey key_kind = TlsKey::rsa2048);

}  // namespace velmora::testing
