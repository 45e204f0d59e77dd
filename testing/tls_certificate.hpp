#pragma once
// Self-signed TLS certificates for test servers and clients.

#include <filesystem>
#include <string_view>

namespace velmora::testing {

struct TlsFiles {
  std::filesystem::path cert;  // PEM certificate
  std::filesystem::path key;   // PEM private key
};

// A fresh RSA key and a self-signed CA certificate for localhost and 127.0.0.1, written to
// folder/<name>.crt and folder/<name>.key. Trusting the certificate trusts exactly that pair.
TlsFiles make_self_signed_certificate(const std::filesystem::path& folder, std::string_view name);

}  // namespace velmora::testing
