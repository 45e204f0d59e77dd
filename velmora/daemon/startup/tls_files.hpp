#pragma once
// The local API's TLS identity: at every start a fresh RSA key and a self-signed certificate for
// localhost, written as PEM to "velmorad.crt" and "velmorad.key" in the working directory.
// One thread at a time.

#include <filesystem>
#include <utility>

namespace velmora::daemon {

// The two files, owned: removed when the owner goes, the key first. A file found missing then is
// reported on standard error.
class TlsFiles {
 public:
  TlsFiles(std::filesystem::path cert_file, std::filesystem::path key_file)
      : cert_file_(std::move(cert_file)), key_file_(std::move(key_file)) {}
  TlsFiles(TlsFiles&& other) noexcept
      : cert_file_(std::exchange(other.cert_file_, {})),
        key_file_(std::exchange(other.key_file_, {})) {}
  TlsFiles& operator=(TlsFiles&&) = delete;
  ~TlsFiles();

  const std::filesystem::path& cert_file() const noexcept { return cert_file_; }
  const std::filesystem::path& key_file() const noexcept { return key_file_; }

 private:
  std::filesystem::path cert_file_;
  std::filesystem::path key_file_;
};

// Makes the key (RSA, 2048 bits) and the certificate (X.509 v3, random serial below 2^63, valid
// 365 days from now, subject and issuer CN=localhost, O=Velmora, the one extension
// subjectAltName DNS:localhost, signed with SHA-256), each written to a temporary file in the
// working directory (mode 0600) and renamed onto its name, replacing files of that name. On a
// failure no file of this call is left, and the error (OSError, RuntimeError) is thrown.
TlsFiles make_ssl_context();

}  // namespace velmora::daemon
