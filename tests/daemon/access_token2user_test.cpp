// The user names of access tokens: asked of the identity provider over HTTPS, remembered for the
// 32 tokens used most recently, failures never remembered.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "testing/environment_setting.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/daemon/api_state.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::daemon {
namespace {

using testing::Answer;

std::string token(int i) { return "token-" + std::to_string(i); }
std::string user(int i) { return "user-" + std::to_string(i); }

class AccessToken2UserTest : public ::testing::Test {
 protected:
  AccessToken2UserTest() {
    for (int i = 0; i < 40; ++i) idp_.set_user(token(i), user(i));
  }

  std::string lookup(int i) { return state_.access_token2user(token(i)); }
  int calls(int i) const { return idp_.userinfo_calls(token(i)); }

  testing::ScopedFolder folder_;
  testing::TlsFiles tls_ =
      testing::make_self_signed_certificate(folder_.path(), "idp", testing::TlsKey::ec_p256);
  testing::EnvironmentSetting trust_{"VELMORA_CA_FILE", tls_.cert.string()};
  testing::FakeIdentityProvider idp_{tls_};
  ApiState state_{model::NodeSettings{}, IdentityProvider{idp_.domain(), "https://api.example"}, {}};
};

TEST_F(AccessToken2UserTest, AsksOnceAndLogsTheTokensFingerprintNeverTheToken) {
  const utils::log::LogCapture log("velmora.daemon");
  EXPECT_EQ(lookup(0), user(0));
  EXPECT_EQ(lookup(0), user(0));
  EXPECT_EQ(calls(0), 1);
  const auto requests = idp_.server().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/userinfo");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer " + token(0));
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"INFO:velmora.daemon:Identifying token " +
                                     utils::log::token_fingerprint(token(0))});
}

TEST_F(AccessToken2UserTest, TheThirtyThirdTokenDropsTheLeastRecentlyUsed) {
  for (int i = 0; i < 32; ++i) lookup(i);
  lookup(0);   // a hit: token 0 is now the most recent, token 1 the least
  lookup(32);  // drops token 1
  for (int i = 0; i <= 32; ++i) EXPECT_EQ(calls(i), 1) << i;
  lookup(0);
  EXPECT_EQ(calls(0), 1);
  EXPECT_EQ(lookup(1), user(1));  // asked again, which drops token 2
  EXPECT_EQ(calls(1), 2);
  lookup(3);
  EXPECT_EQ(calls(3), 1);
  lookup(2);
  EXPECT_EQ(calls(2), 2);
}

TEST_F(AccessToken2UserTest, FailuresAreNotRemembered) {
  const std::string url = idp_.url() + "/userinfo";
  const std::string t = token(0);
  idp_.set_userinfo_answer(t, {401, "Unauthorized", "text/plain"});
  try {
    lookup(0);
    FAIL() << "no error";
  } catch (const utils::RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Could not retrieve user information: 401 Client Error: Unauthorized for url: " +
                  url);
  }
  idp_.set_userinfo_answer(t, {500, "down", "text/plain"});
  EXPECT_THROW(lookup(0), utils::RuntimeError);
  idp_.set_userinfo_answer(t, {200, "<html>not JSON</html>", "text/html"});
  EXPECT_THROW(lookup(0), utils::ValueError);
  idp_.set_userinfo_answer(t, {200, R"({"sub": "velmora|x"})"});
  EXPECT_THROW(lookup(0), utils::KeyError);
  idp_.set_userinfo_answer(t, {200, R"({"name": ["x"]})"});
  EXPECT_THROW(lookup(0), utils::TypeError);
  idp_.set_user(t, "ada");
  EXPECT_EQ(lookup(0), "ada");
  EXPECT_EQ(lookup(0), "ada");
  EXPECT_EQ(calls(0), 6);
}

TEST_F(AccessToken2UserTest, ManyThreadsLookUpWhileTokensComeAndGo) {
  constexpr int kThreads = 8;
  constexpr int kTokens = 40;  // more than the memo holds, so entries are dropped all the time
  std::vector<std::thread> threads;
  std::atomic<int> wrong = 0;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &wrong] {
      for (int n = 0; n < kTokens; ++n) {
        const int i = (n * 7 + t * 5) % kTokens;
        if (lookup(i) != user(i)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  // The memo is whole afterwards: it holds the 32 tokens used last, and only those.
  for (int i = 0; i < 32; ++i) lookup(i);
  std::vector<int> before;
  for (int i = 0; i <= 32; ++i) before.push_back(calls(i));
  for (int i = 0; i < 32; ++i) lookup(i);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(calls(i), before[i]) << i;
  lookup(32);
  EXPECT_EQ(calls(32), before[32] + 1);
}

}  // namespace
}  // namespace velmora::daemon
