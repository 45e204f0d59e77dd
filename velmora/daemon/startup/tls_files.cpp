#include "velmora/daemon/startup/tls_files.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::daemon {
namespace {

constexpr long kValiditySeconds = 31536000;  // 365 days

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* pointer) const { Free(pointer); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;
using Memory = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

void check(bool ok, const char* what) {
  if (!ok) throw utils::RuntimeError(std::string("making the TLS certificate: ") + what + " failed");
}

// A serial number from the OpenSSL random generator: positive and below 2^63.
void set_random_serial(X509* certificate) {
  std::uint64_t serial = 0;
  while (serial == 0) {
    check(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1,
          "drawing the serial number");
    serial >>= 1;
  }
  check(ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate), serial) == 1,
        "setting the serial number");
}

void set_name(X509_NAME* name) {
  for (const auto& [field, value] : {std::pair{"CN", "localhost"}, std::pair{"O", "Velmora"}})
    check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(value), -1, -1, 0) == 1,
          "setting a name");
}

Certificate self_signed_certificate(EVP_PKEY* key) {
  Certificate certificate(X509_new());
  check(certificate != nullptr, "X509_new");
  check(X509_set_version(certificate.get(), X509_VERSION_3) == 1, "setting the version");
  set_random_serial(certificate.get());
  check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) != nullptr, "not before");
  check(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds) != nullptr,
        "not after");
  set_name(X509_get_subject_name(certificate.get()));
  check(X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get())) == 1,
        "setting the issuer");
  Extension alt_name(X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, "DNS:localhost"));
  check(alt_name && X509_add_ext(certificate.get(), alt_name.get(), -1) == 1,
        "adding the subject alternative name");
  check(X509_set_pubkey(certificate.get(), key) == 1, "setting the public key");
  check(X509_sign(certificate.get(), key, EVP_sha256()) > 0, "signing");
  return certificate;
}

std::string pem_text(const std::function<int(BIO*)>& write) {
  Memory memory(BIO_new(BIO_s_mem()));
  check(memory && write(memory.get()) == 1, "writing PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

// Files of this call, removed at destruction unless released.
class Written {
 public:
  ~Written() {
    for (const auto& path : paths_) ::unlink(path.c_str());
  }
  void add(std::filesystem::path path) { paths_.push_back(std::move(path)); }
  void release() { paths_.clear(); }

 private:
  std::vector<std::filesystem::path> paths_;
};

// text in a fresh temporary file (mode 0600) in folder.
WrittenFile write_temporary(const std::filesystem::path& folder, std::string_view text,
                            Written& written) {
  std::string name = (folder / "tmpXXXXXX").string();
  utils::FileDescriptor file(::mkstemp(name.data()));
  if (!file.is_open()) throw utils::OSError(errno, name);
  written.add(name);
  utils::write_all(file.get(), text, name);
  const FileIdentity identity = identity_of(file.get());
  file.close(name);
  return {name, identity};
}

// from renamed onto to: the same file under its new name.
WrittenFile rename_onto(const WrittenFile& from, const std::filesystem::path& to) {
  if (std::rename(from.path.c_str(), to.c_str()) != 0) throw utils::OSError(errno, to);
  return {to, from.identity};
}

// Said on standard error, where the serving line went: the log may be closed by now.
void remove_written(const WrittenFile& file) {
  const std::string name = file.path.string();
  try {
    switch (remove_if_same(file.path, file.identity)) {
      case Removal::removed:
        return;
      case Removal::missing:
        std::cerr << "velmorad: warning: " << name << " was gone at exit: nothing to remove\n";
        return;
      case Removal::replaced:
        std::cerr << "velmorad: warning: " << name
                  << " is no longer the file written at start: left in place\n";
        return;
    }
  } catch (const std::exception& error) {
    std::cerr << "velmorad: warning: " << name << " could not be removed at exit: "
              << error.what() << '\n';
  }
}

}  // namespace

TlsFiles::~TlsFiles() {
  if (key_file_.path.empty()) return;  // moved from
  remove_written(key_file_);
  remove_written(cert_file_);
}

TlsFiles make_ssl_context() {
  Key key(EVP_RSA_gen(2048));
  check(key != nullptr, "generating the key");
  const Certificate certificate = self_signed_certificate(key.get());
  const std::string cert_pem =
      pem_text([&](BIO* out) { return PEM_write_bio_X509(out, certificate.get()); });
  const std::string key_pem = pem_text([&](BIO* out) {
    return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });

  const std::filesystem::path folder = std::filesystem::current_path();
  Written written;
  const WrittenFile cert_temporary = write_temporary(folder, cert_pem, written);
  const WrittenFile key_temporary = write_temporary(folder, key_pem, written);
  WrittenFile cert_file = rename_onto(cert_temporary, folder / "velmorad.crt");
  written.add(cert_file.path);
  WrittenFile key_file = rename_onto(key_temporary, folder / "velmorad.key");
  written.release();
  return TlsFiles(std::move(cert_file), std::move(key_file));
}

}  // namespace velmora::daemon
