#include "testing/tls_certificate.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "velmora/utils/error.hpp"

namespace velmora::testing {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw utils::RuntimeError(std::string("test certificate: ") + what + " failed");
}

void add_extension(X509* cert, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value), &X509_EXTENSION_free);
  check(extension && X509_add_ext(cert, extension.get(), -1) == 1, "an extension");
}

void write_pem(const std::filesystem::path& path, const std::function<int(std::FILE*)>& write) {
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"),
                                                          &std::fclose);
  check(file && write(file.get()) == 1, "writing PEM");
}

}  // namespace

TlsFiles make_self_signed_certificate(const std::filesystem::path& folder, std::string_view name,
                                      TlsKey key_kind) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      key_kind == TlsKey::ec_p256 ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048), &EVP_PKEY_free);
  check(key != nullptr, "key generation");
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
  check(cert != nullptr, "X509_new");

  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial) == 1, "serial");
  serial[0] &= 0x7F;  // positive
  std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(serial, sizeof serial, nullptr),
                                                     &BN_free);
  check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())), "serial");
  X509_set_version(cert.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), subject);
  X509_set_pubkey(cert.get(), key.get());
  add_extension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing");

  TlsFiles files{folder / (std::string(name) + ".crt"), folder / (std::string(name) + ".key")};
  write_pem(files.cert, [&](std::FILE* f) { return PEM_write_X509(f, cert.get()); });
  write_pem(files.key, [&](std::FILE* f) {
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  return files;
}

}  // namespace velmora::testing
