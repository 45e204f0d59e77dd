#include "velmora/sealcraft/keys.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "velmora/utils/error.hpp"
#include "velmora/utils/temp_files.hpp"

namespace velmora::sealcraft {
namespace {

Bytes bytes(std::string_view text) { return Bytes(text); }

// One pair for the whole suite: generation is the slow part.
const auto& pair_a() {
  static const auto pair = make_keys();
  return pair;
}

TEST(Keys, ExportImportRoundTripsAreByteIdentical) {
  const auto& [priv, pub] = pair_a();
  const Bytes priv_der = priv->export_();
  const Bytes pub_der = pub->export_();
  // PKCS#1: SEQUENCE { INTEGER 0, INTEGER modulus, ... }; PKCS#8 would have an AlgorithmIdentifier
  // SEQUENCE where the modulus stands.
  EXPECT_EQ(priv_der.view().substr(0, 2), "\x30\x82");
  EXPECT_EQ(priv_der.view().substr(4, 4), std::string_view("\x02\x01\x00\x02", 4));
  EXPECT_EQ(pub_der.size(), 294u);
  EXPECT_EQ(PrivateKey::import_key(priv_der)->export_(), priv_der);
  EXPECT_EQ(PublicKey::import_key(pub_der)->export_(), pub_der);
}

TEST(Keys, PrivateDerImportedAsPublicKeyExportsPrivateDerAgain) {
  const Bytes priv_der = pair_a().first->export_();
  EXPECT_EQ(PublicKey::import_key(priv_der)->export_(), priv_der);
}

TEST(Keys, StateHoldsOnlyTheDerAndRestoresTheSameKey) {
  const auto& [priv, pub] = pair_a();
  const Value state = pub->get_state();
  ASSERT_EQ(state.size(), 1u);
  ASSERT_TRUE(state["_key"].is_binary());
  EXPECT_EQ(PublicKey::from_state(state)->export_(), pub->export_());
  EXPECT_EQ(PrivateKey::from_state(priv->get_state())->export_(), priv->export_());
}

TEST(Keys, BadStateIsRefused) {
  EXPECT_THROW(PublicKey::from_state(Value::object()), utils::KeyError);
  try {
    PublicKey::from_state(Value{{"_key", "text"}});
    FAIL();
  } catch (const utils::TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'raw' has incorrect type (expected bytes, got str)");
  }
}

TEST(Keys, GarbageDoesNotImport) {
  EXPECT_THROW(PublicKey::import_key(bytes("not a key")), utils::ValueError);
  EXPECT_THROW(PrivateKey::import_key(Bytes()), utils::ValueError);
  Bytes trailing = pair_a().second->export_();
  trailing.data += "x";
  EXPECT_THROW(PublicKey::import_key(trailing), utils::ValueError);
}

// A failed attempt inside a call that succeeds must not reach a later error text of the thread.
TEST(Keys, CallsLeaveNothingInTheThreadsErrorQueue) {
  ERR_clear_error();
  const auto [priv, pub] = make_keys();
  EXPECT_EQ(ERR_peek_error(), 0u) << "make_keys";
  PublicKey::import_key(pub->export_());
  EXPECT_EQ(ERR_peek_error(), 0u) << "import of a public key";
  PrivateKey::import_key(priv->export_());
  EXPECT_EQ(ERR_peek_error(), 0u) << "import of a private key";
  PrivateKey::import_key(pub->export_());
  EXPECT_EQ(ERR_peek_error(), 0u) << "import of a public key as a private key";
  EXPECT_THROW(PublicKey::import_key(bytes("junk")), utils::ValueError);
  EXPECT_EQ(ERR_peek_error(), 0u) << "refused import";
  EXPECT_FALSE(pub->verify(bytes("data"), bytes("no signature")));
  EXPECT_EQ(ERR_peek_error(), 0u) << "failed verify";
}

TEST(Signatures, VerifyWithItsPairOnly) {
  const auto& [priv, pub] = pair_a();
  const auto [other_priv, other_pub] = make_keys();
  const Bytes data = bytes("{'address': 'x', 'uuid': 'ab'}");
  const Bytes first = priv->sign(data);
  const Bytes second = priv->sign(data);
  EXPECT_EQ(first.size(), 256u);
  EXPECT_NE(first, second);  // fresh salt
  EXPECT_TRUE(pub->verify(data, first));
  EXPECT_TRUE(pub->verify(data, second));
  EXPECT_FALSE(other_pub->verify(data, first));
}

TEST(Signatures, TamperingOrWrongLengthVerifiesFalse) {
  const auto& [priv, pub] = pair_a();
  const Bytes data = bytes("payload");
  const Bytes signature = priv->sign(data);

  Bytes changed_data = data;
  changed_data.data[0] ^= 1;
  Bytes changed_signature = signature;
  changed_signature.data[100] ^= 1;
  Bytes short_signature(signature.view().substr(0, 255));
  Bytes long_signature = signature;
  long_signature.data.push_back('\0');

  EXPECT_FALSE(pub->verify(changed_data, signature));
  EXPECT_FALSE(pub->verify(data, changed_signature));
  EXPECT_FALSE(pub->verify(data, short_signature));
  EXPECT_FALSE(pub->verify(data, long_signature));
  EXPECT_FALSE(pub->verify(data, Bytes()));
}

TEST(Signatures, NothingIsSignedAsEmptyData) {
  const auto& [priv, pub] = pair_a();
  EXPECT_TRUE(pub->verify(Bytes(), priv->sign()));
}

TEST(Signatures, PublicMaterialCannotSign) {
  const Bytes pub_der = pair_a().second->export_();
  EXPECT_THROW(PrivateKey::import_key(pub_der)->sign(bytes("x")), utils::RuntimeError);
}

TEST(Signatures, OneKeySignsAndVerifiesFromManyThreads) {
  const auto& [priv, pub] = pair_a();
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const Bytes data(std::to_string(t * 100 + i));
        if (pub->verify(data, priv->sign(data)) && !priv->export_().empty()) ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 80);
}

// The signatures must agree with an independent implementation: the openssl command line.
class OpensslInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl CLI";
    dir_ = utils::make_temp_dir(utils::temp_directory(), "interop");
    write("priv.der", pair_a().first->export_());
    write("pub.der", pair_a().second->export_());
    write("data", bytes("signed by both sides"));
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  void write(const char* name, const Bytes& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content.data;
  }
  Bytes read(const char* name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return Bytes(text.str());
  }
  int openssl(const std::string& args) {
    const std::string pss =
        " -rawin -digest SHA3-256 -keyform DER -pkeyopt rsa_padding_mode:pss"
        " -pkeyopt rsa_pss_saltlen:32 -pkeyopt rsa_mgf1_md:SHA3-256";
    return std::system(("cd " + dir_.string() + " && openssl pkeyutl " + args + pss +
                        " >/dev/null 2>&1")
                           .c_str());
  }
  std::filesystem::path dir_;
};

TEST_F(OpensslInterop, OurSignatureVerifiesThere) {
  write("sig", pair_a().first->sign(read("data")));
  EXPECT_EQ(openssl("-verify -pubin -inkey pub.der -in data -sigfile sig"), 0);
}

TEST_F(OpensslInterop, TheirSignatureVerifiesHere) {
  ASSERT_EQ(openssl("-sign -inkey priv.der -in data -out sig"), 0);
  EXPECT_TRUE(pair_a().second->verify(read("data"), read("sig")));
}

}  // namespace
}  // namespace velmora::sealcraft
