#pragma once
// The local API's TLS identity: at every start a fresh RSA key and a self-signed certificate for
// localhost, written as PEM to "velmorad.crt" and "velmorad.key" in the working directory.
// One thread at a time.

#include <filesystem>
#include <utility>

#include "velmora/daemon/startup/file_identity.hpp"

namespace velmora::daemon {

// A file this process wrote: its name, and the file it put under that name.
struct WrittenFile {
  std::filesystem::path path;
  FileIdentity identity;
};

// The two files, owned: removed when the owner goes, the key first, each only while its name
// still stands for the file written. A file found missing or replaced then is left alone, with
// a warning on standard error.
class TlsFiles {
 public:
  TlsFiles(WrittenFile cert_file, WrittenFile key_file)
      : cert_file_(std::move(cert_file)), key_file_(std::move(key_file)) {}
  TlsFiles(TlsFiles&& other) noexcept
      : cert_file_(std::exchange(other.cert_file_, {})),
        key_file_(std::exchange(other.key_file_, {})) {}
  TlsFiles& operator=(TlsFiles&&) = delete;
  ~TlsFiles();

  const std::filesystem::path& cert_file() const noexcept { return cert_file_.path; }
  const std::filesystem::path& key_file() const noexcept { return key_file_.path; }

 private:
  WrittenFile cert_file_;
  WrittenFile key_file_;
};

// Makes the key (RSA, 2048 bits) and the certificate (X.509 v3, random serial below 2^63, valid
// 365 days from now, subject and issuer CN=localhost, O=Velmora, the one extension
// subjectAltName DNS:localhost, signed with SHA-256), each written to a temporary file in the
// working directory (mode 0600) and renamed onto its name, replacing files of that name. On a
// failure no file of this call is left, and the error (OSError, RuntimeError) is thrown.
TlsFiles make_ssl_context();

}  // namespace velmora::daemon
