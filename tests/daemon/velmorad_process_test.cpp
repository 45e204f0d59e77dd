// velmorad as a user runs it: start, serve, stop, and the ways a start fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "testing/background_server.hpp"
#include "testing/child_process.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"
#include "velmora/utils/result_json.hpp"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class Velmorad : public ::testing::Test {
 protected:
  Velmorad() { fs::create_directory(work_); }

  std::unique_ptr<testing::ChildProcess> start(std::vector<std::string> args,
                                               const std::string& idp_domain) {
    return std::make_unique<testing::ChildProcess>(
        VELMORAD_PATH, args, work_,
        std::map<std::string, std::string>{{"VELMORA_IDP_DOMAIN", idp_domain},
                                           {"VELMORA_CA_FILE", tls_.cert.string()},
                                           {"no_proxy", "127.0.0.1,localhost"},
                                           {"NO_PROXY", "127.0.0.1,localhost"}});
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
        httplib::SSLClient client("localhost", port);
        client.set_ca_cert_path((work_ / "velmorad.crt").string());
        client.enable_server_certificate_verification(true);
        if (httplib::Result result = client.Get(path)) return result;
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
                                             {"--cntrrpoll", "1.5"}, {"--nothing"}}) {
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

}  // namespace
}  // namespace velmora::daemon
