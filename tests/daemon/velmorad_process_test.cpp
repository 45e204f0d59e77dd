// velmorad as a user runs it: start, serve, log in, stop, and the ways a start fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "testing/background_server.hpp"
#include "testing/child_process.hpp"
#include "testing/eventually.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/fakes_process.hpp"
#include "testing/https_client.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"
#include "testing/token_minter.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kAudience = "https://api.velmora.test";

class Velmorad : public ::testing::Test {
 protected:
  Velmorad() { fs::create_directory(work_); }

  // velmorad with args in the working folder, trusting ca_file, its identity provider at
  // idp_domain, with extra_environment besides.
  std::unique_ptr<testing::ChildProcess> start(
      std::vector<std::string> args, const std::string& idp_domain,
      const std::string& ca_file = "",
      const std::map<std::string, std::string>& extra_environment = {}) {
    std::map<std::string, std::string> environment{
        {"VELMORA_IDP_DOMAIN", idp_domain},
        {"VELMORA_CA_FILE", ca_file.empty() ? tls_.cert.string() : ca_file},
        {"VELMORA_API_AUDIENCE", kAudience},
        {"no_proxy", "127.0.0.1,localhost"},
        {"NO_PROXY", "127.0.0.1,localhost"}};
    environment.insert(extra_environment.begin(), extra_environment.end());
    return std::make_unique<testing::ChildProcess>(VELMORAD_PATH, args, work_, environment);
  }

  // A client of velmorad's API, verifying the certificate it wrote.
  std::unique_ptr<httplib::SSLClient> api_client(int port) const {
    return testing::https_client("localhost", port, work_ / "velmorad.crt");
  }
  httplib::Result authenticate(int port, const std::string& access_token,
                               const std::string& refresh_token) const {
    return api_client(port)->Post(
        "/authenticate", {{"Authorization", "Bearer " + access_token}},
        utils::Value{{"refresh_token", refresh_token}}.dump(), "application/json");
  }
  httplib::Result guarded(int port, const std::string& access_token) const {
    return api_client(port)->Get("/getMyName", {{"Authorization", "Bearer " + access_token}});
  }

  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(work_)) names.push_back(entry.path().filename());
    return names;
  }

  // GET path over HTTPS, verified against the certificate velmorad wrote, once it answers.
  httplib::Result get_when_served(testing::ChildProcess& velmorad, int port,
                                  const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline && velmorad.running()) {
      if (fs::exists(work_ / "velmorad.key")) {
        if (httplib::Result result = api_client(port)->Get(path)) return result;
      }
      std::this_thread::sleep_for(20ms);
    }
    return httplib::Result(nullptr, httplib::Error::Connection);
  }

  testing::ScopedFolder folder_;
  fs::path work_ = folder_.path() / "work";
  testing::TlsFiles tls_ = testing::make_self_signed_certificate(folder_.path(), "idp");
  testing::FakeIdentityProvider idp_{tls_};
  int port_ = testing::unused_tcp_port();
};

TEST_F(Velmorad, ServesUntilInterruptedAndRemovesItsFiles) {
  const auto velmorad = start({"--port", std::to_string(port_), "--backend", "https://b.example/"},
                              idp_.domain());
  const httplib::Result backend = get_when_served(*velmorad, port_, "/backend");
  ASSERT_TRUE(backend) << velmorad->standard_error();
  EXPECT_EQ(backend->body, "https://b.example/");
  const httplib::Result guarded = get_when_served(*velmorad, port_, "/getMyUUID");
  EXPECT_EQ(guarded->status, 500);
  EXPECT_EQ(guarded->body, utils::string_to_result_json(false, -1, "User unauthenticated"));
  EXPECT_EQ(idp_.server().requests().size(), 1u);

  velmorad->send_signal(SIGINT);
  EXPECT_EQ(velmorad->wait_for_exit(), 0) << velmorad->standard_error();
  EXPECT_TRUE(files().empty());
  EXPECT_NE(velmorad->standard_error().find("Endpoint called before model construction"),
            std::string::npos);
}

TEST_F(Velmorad, ExitsWhenThePortIsTaken) {
  // Held the way a second server would hold it, port sharing allowed on its side.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  ::setsockopt(holder, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 5), 0);

  const auto velmorad = start({"-p", std::to_string(port_)}, idp_.domain());
  EXPECT_EQ(velmorad->wait_for_exit(), 1);
  EXPECT_NE(velmorad->standard_error().find("cannot listen on 127.0.0.1 port"), std::string::npos)
      << velmorad->standard_error();
  EXPECT_TRUE(files().empty());
  ::close(holder);
}

TEST_F(Velmorad, RefusesABadCommandLineBeforeAnythingElse) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--port", "abc"}, {"--log-level", "INFO"},
                                             {"--cntrrpoll", "1.5"}, {"--devpoll", "0"},
                                             {"--nothing"}}) {
    const auto velmorad = start(args, idp_.domain());
    EXPECT_EQ(velmorad->wait_for_exit(), 2);
    EXPECT_NE(velmorad->standard_error().find("Try 'velmorad --help' for help."),
              std::string::npos);
    EXPECT_TRUE(files().empty());
  }
  const auto help = start({"--help"}, "127.0.0.1:" + std::to_string(testing::unused_tcp_port()));
  EXPECT_EQ(help->wait_for_exit(), 0);
  EXPECT_NE(help->standard_output().find("--cntrrpoll <secs>"), std::string::npos);
  // The command line is read before the key set is fetched.
  EXPECT_TRUE(idp_.server().requests().empty());
}

TEST_F(Velmorad, DoesNotStartWithoutAKeySet) {
  const std::pair<std::string, const char*> broken[] = {
      {"not JSON", "velmorad: cannot load the identity provider's key set"},
      {R"({"kid": "a"})", "'keys'"},
      {R"({"keys": [{"kty": "RSA"}]})", "'kid'"}};
  for (const auto& [body, message] : broken) {
    idp_.server().script(testing::FakeIdentityProvider::kKeySetPath, {200, body});
    const auto velmorad = start({"--port", std::to_string(port_)}, idp_.domain());
    EXPECT_EQ(velmorad->wait_for_exit(), 1);
    EXPECT_NE(velmorad->standard_error().find(message), std::string::npos)
        << velmorad->standard_error();
    EXPECT_TRUE(files().empty());
  }
  const auto unreachable = start({}, "127.0.0.1:" + std::to_string(testing::unused_tcp_port()));
  EXPECT_EQ(unreachable->wait_for_exit(), 1);
  EXPECT_TRUE(files().empty());
}

TEST_F(Velmorad, LogsInWithAFrontEndsTokensAndKeepsTheNodeForItsFirstAccount) {
  fs::create_directory(folder_.path() / "fakes");
  const testing::FakesProcess fakes(FAKE_BACKEND_PATH, {"ada", "bob"}, folder_.path() / "fakes");
  const auto [ada_access, ada_refresh] = fakes.sign_in("ada", kAudience);
  const auto [bob_access, bob_refresh] = fakes.sign_in("bob", kAudience);
  const std::string success = utils::string_to_result_json(true, 0, "success");
  const std::vector<std::string> args = {"--port", std::to_string(port_), "--backend",
                                         fakes.backend_url()};
  const std::string& idp_domain = fakes.node_environment().at("VELMORA_IDP_DOMAIN");
  const std::string& ca_file = fakes.node_environment().at("VELMORA_CA_FILE");

  auto velmorad = start(args, idp_domain, ca_file);
  ASSERT_TRUE(get_when_served(*velmorad, port_, "/backend")) << velmorad->standard_error();
  const httplib::Result login = authenticate(port_, ada_access, ada_refresh);
  ASSERT_TRUE(login);
  EXPECT_EQ(login->body, success) << velmorad->standard_error();
  // Past the guard for ada; bob's token is refused there, and so is bob's login.
  const httplib::Result passed = guarded(port_, ada_access);
  ASSERT_TRUE(passed);
  EXPECT_NE(passed->status, 401);
  EXPECT_NE(passed->status, 403);
  EXPECT_NE(passed->body, utils::string_to_result_json(false, -1, "User unauthenticated"));
  EXPECT_EQ(guarded(port_, bob_access)->status, 403);
  EXPECT_EQ(authenticate(port_, bob_access, bob_refresh)->body,
            utils::string_to_result_json(false, -1, "User is already authenticated"));
  velmorad->send_signal(SIGINT);
  EXPECT_EQ(velmorad->wait_for_exit(), 0) << velmorad->standard_error();
  EXPECT_FALSE(fs::exists(work_ / "velmorad.key"));
  EXPECT_TRUE(fs::exists(work_ / "owner.json"));

  // Started again over the same folder, the node is still ada's.
  velmorad = start(args, idp_domain, ca_file);
  ASSERT_TRUE(get_when_served(*velmorad, port_, "/backend")) << velmorad->standard_error();
  const httplib::Result refused = authenticate(port_, bob_access, bob_refresh);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->body.find("belong to another account"), std::string::npos) << refused->body;
  EXPECT_EQ(authenticate(port_, ada_access, ada_refresh)->body, success);
  velmorad->send_signal(SIGTERM);
  EXPECT_EQ(velmorad->wait_for_exit(), 0) << velmorad->standard_error();
}

// With a node object built, a request still under way does not hold the exit beyond its grace.
TEST_F(Velmorad, EndsWithinItsGraceWhileARequestIsStillUnderWay) {
  idp_.set_refresh_token("refresh-1", "access-1");
  idp_.set_user("access-1", "ada");
  const testing::TokenMinter minter;
  const std::string token = minter.rs256(testing::TokenMinter::claims(idp_.domain(), kAudience));
  const std::string held_token =
      minter.rs256(testing::TokenMinter::claims(idp_.domain(), kAudience), {{"typ", "at+jwt"}});
  idp_.set_user(token, "ada");
  idp_.set_user(held_token, "ada");
  // The cut-off exit leaves the serving threads unjoined on purpose: no leak for ThreadSanitizer.
  const char* sanitizer_options = std::getenv("TSAN_OPTIONS");
  const auto velmorad =
      start({"--port", std::to_string(port_)}, idp_.domain(), "",
            {{"TSAN_OPTIONS", std::string(sanitizer_options ? sanitizer_options : "") +
                                  " report_thread_leaks=0"}});
  ASSERT_TRUE(get_when_served(*velmorad, port_, "/backend")) << velmorad->standard_error();
  ASSERT_EQ(authenticate(port_, token, "refresh-1")->body,
            utils::string_to_result_json(true, 0, "success"))
      << velmorad->standard_error();

  // The guard's lookup of a new token waits on the provider until the test lets it go.
  idp_.server().hold("/userinfo");
  const int lookups = idp_.server().calls("/userinfo");
  std::thread request([&] { guarded(port_, held_token); });
  ASSERT_TRUE(testing::eventually([&] { return idp_.server().calls("/userinfo") > lookups; }));
  velmorad->send_signal(SIGTERM);
  // Well inside the lookup's own time limit of a minute.
  EXPECT_EQ(velmorad->wait_for_exit(45s), 0) << velmorad->standard_error();
  EXPECT_NE(velmorad->standard_error().find("Requests still under way at exit are cut off"),
            std::string::npos)
      << velmorad->standard_error();
  EXPECT_FALSE(fs::exists(work_ / "velmorad.crt"));
  EXPECT_FALSE(fs::exists(work_ / "velmorad.key"));
  idp_.server().release("/userinfo");
  request.join();
}

}  // namespace
}  // namespace velmora::daemon
