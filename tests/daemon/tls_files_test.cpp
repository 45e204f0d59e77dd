#include "velmora/daemon/startup/tls_files.hpp"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "testing/scoped_folder.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

namespace fs = std::filesystem;

// Works in a fresh folder for the life of the object: the files have fixed names.
class InFreshFolder : public ::testing::Test {
 protected:
  InFreshFolder() : previous_(fs::current_path()) { fs::current_path(folder_.path()); }
  ~InFreshFolder() override { fs::current_path(previous_); }

  std::vector<std::string> names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_.path()))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::ScopedFolder folder_;
  fs::path previous_;
};

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Certificate read_certificate(const fs::path& path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), &std::fclose);
  return Certificate(file ? PEM_read_X509(file.get(), nullptr, nullptr, nullptr) : nullptr,
                     &X509_free);
}

Key read_key(const fs::path& path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), &std::fclose);
  return Key(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr,
             &EVP_PKEY_free);
}

std::string name_text(const X509_NAME* name) {
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
  X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

TEST_F(InFreshFolder, MakesAFreshSelfSignedCertificateForLocalhost) {
  std::optional<TlsFiles> files(make_ssl_context());
  EXPECT_EQ(files->cert_file(), folder_.path() / "velmorad.crt");
  EXPECT_EQ(files->key_file(), folder_.path() / "velmorad.key");
  EXPECT_EQ(names(), (std::vector<std::string>{"velmorad.crt", "velmorad.key"}));
  for (const fs::path& path : {files->cert_file(), files->key_file()}) {
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << path;
  }

  const Certificate certificate = read_certificate(files->cert_file());
  const Key key = read_key(files->key_file());  // no pass phrase
  ASSERT_TRUE(certificate && key);
  EXPECT_EQ(X509_get_version(certificate.get()), X509_VERSION_3);
  // RFC 2253 lists the entries last first: CN then O as made.
  EXPECT_EQ(name_text(X509_get_subject_name(certificate.get())), "O=Velmora,CN=localhost");
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(certificate.get()),
                          X509_get_issuer_name(certificate.get())),
            0);
  ASSERT_EQ(X509_get_ext_count(certificate.get()), 1);
  X509_EXTENSION* extension = X509_get_ext(certificate.get(), 0);
  EXPECT_EQ(OBJ_obj2nid(X509_EXTENSION_get_object(extension)), NID_subject_alt_name);
  EXPECT_EQ(X509_EXTENSION_get_critical(extension), 0);
  std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)> alt_names(
      static_cast<GENERAL_NAMES*>(X509V3_EXT_d2i(extension)), &GENERAL_NAMES_free);
  ASSERT_EQ(sk_GENERAL_NAME_num(alt_names.get()), 1);
  const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt_names.get(), 0);
  ASSERT_EQ(name->type, GEN_DNS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName))),
            "localhost");

  EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 2048);
  EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), EVP_PKEY_RSA);
  EXPECT_EQ(X509_check_private_key(certificate.get(), key.get()), 1);
  EXPECT_EQ(X509_verify(certificate.get(), key.get()), 1);
  EXPECT_EQ(X509_get_signature_nid(certificate.get()), NID_sha256WithRSAEncryption);

  int days = 0, seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(certificate.get()),
                           X509_get0_notAfter(certificate.get())),
            1);
  EXPECT_EQ(days * 86400L + seconds, 31536000L);
  EXPECT_LE(X509_cmp_current_time(X509_get0_notBefore(certificate.get())), 0);

  std::uint64_t serial = 0;
  ASSERT_EQ(ASN1_INTEGER_get_uint64(&serial, X509_get0_serialNumber(certificate.get())), 1);
  EXPECT_GT(serial, 0u);
  EXPECT_LT(serial, std::uint64_t{1} << 63);

  // Removed when the object goes.
  files.reset();
  EXPECT_TRUE(names().empty());
}

TEST_F(InFreshFolder, ReplacesFilesOfAnEarlierRunWithNewOnes) {
  std::optional<TlsFiles> first(make_ssl_context());
  const Certificate old = read_certificate(first->cert_file());
  {
    const TlsFiles second = make_ssl_context();  // over files left by a killed run
    const Certificate fresh = read_certificate(second.cert_file());
    EXPECT_NE(X509_cmp(old.get(), fresh.get()), 0);
    EXPECT_NE(ASN1_INTEGER_cmp(X509_get0_serialNumber(old.get()),
                               X509_get0_serialNumber(fresh.get())),
              0);
    fs::remove(second.cert_file());  // one file gone: the other is removed all the same
  }
  EXPECT_TRUE(names().empty());
  first.reset();  // both already gone: reported, nothing thrown
}

TEST_F(InFreshFolder, LeavesNoFileWhenItFails) {
  fs::create_directory(folder_.path() / "velmorad.key");  // the key cannot be moved in place
  EXPECT_THROW(make_ssl_context(), utils::OSError);
  EXPECT_EQ(names(), (std::vector<std::string>{"velmorad.key"}));
}

}  // namespace
}  // namespace velmora::daemon
