// velmorad as a user runs it: start, serve, log in, stop, and the ways a start fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "testing/background_server.hpp"
#include "testing/child_process.hpp"
#include "testing/eventually.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/fakes_process.hpp"
#include "testing/file_tree.hpp"
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
    for (const auto& entry : fs::directory_iterator(work_))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
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

  // The address its certificate names.
  EXPECT_TRUE(velmorad->wrote_error_line("velmorad: serving the local API on https://localhost:" +
                                         std::to_string(port_) + "/ (Ctrl+C stops it)"))
      << velmorad->standard_error();

  velmorad->send_signal(SIGINT);
  EXPECT_EQ(velmorad->wait_for_exit(), 0) << velmorad->standard_error();
  EXPECT_TRUE(files().empty());
  EXPECT_NE(velmorad->standard_error().find("Endpoint called before model construction"),
            std::string::npos);
}

// A second start in a folder a velmorad serves from ends at once, whichever port it asks for, and
// takes nothing of the first one's.
TEST_F(Velmorad, ASecondStartInAHeldFolderLeavesTheFirstServing) {
  const auto first = start({"--port", std::to_string(port_)}, idp_.domain());
  ASSERT_TRUE(get_when_served(*first, port_, "/backend")) << first->standard_error();
  const auto inode = [this](const char* name) {
    struct stat info {};
    EXPECT_EQ(::stat((work_ / name).c_str(), &info), 0) << name;
    return info.st_ino;
  };
  const auto certificate = testing::file_content(work_ / "velmorad.crt");
  const auto key = testing::file_content(work_ / "velmorad.key");
  const auto key_written = inode("velmorad.key");
  const std::string pid = testing::file_content(work_ / "velmorad.lock");
  ASSERT_FALSE(pid.empty());
  const std::vector<std::string> held = files();

  // Through another name of the folder, so that its output goes to files of its own.
  const fs::path same_folder = folder_.path() / "same-work";
  fs::create_directory_symlink(work_, same_folder);
  for (const std::string& port : {std::to_string(port_), std::string("0")}) {
    auto second = std::make_unique<testing::ChildProcess>(
        VELMORAD_PATH, std::vector<std::string>{"--port", port}, same_folder,
        std::map<std::string, std::string>{{"VELMORA_IDP_DOMAIN", idp_.domain()},
                                           {"VELMORA_CA_FILE", tls_.cert.string()},
                                           {"VELMORA_API_AUDIENCE", kAudience}});
    EXPECT_EQ(second->wait_for_exit(), 1) << port;
    EXPECT_TRUE(second->wrote_error_line(
        "velmorad: another velmorad serves from this folder (pid " + pid.substr(0, pid.size() - 1) +
        ")"))
        << second->standard_error();
    EXPECT_EQ(files(), held);
    EXPECT_EQ(testing::file_content(work_ / "velmorad.crt"), certificate);
    EXPECT_EQ(testing::file_content(work_ / "velmorad.key"), key);
    EXPECT_EQ(inode("velmorad.key"), key_written);
    const httplib::Result served = api_client(port_)->Get("/backend");  // verified as before
    ASSERT_TRUE(served) << port;
    EXPECT_EQ(served->status, 200);
  }
  // The key set was fetched by the first start only.
  EXPECT_EQ(idp_.server().requests().size(), 1u);

  first->send_signal(SIGINT);
  EXPECT_EQ(first->wait_for_exit(), 0) << first->standard_error();
  EXPECT_TRUE(files().empty());
  EXPECT_EQ(first->standard_error().find("at exit"), std::string::npos) << first->standard_error();
}

// At exit it removes the files it wrote, and leaves alone what has taken their names since.
TEST_F(Velmorad, RemovesOnlyTheFilesItWroteAndWarnsOfTheRest) {
  const auto velmorad = start({"--port", std::to_string(port_)}, idp_.domain());
  ASSERT_TRUE(get_when_served(*velmorad, port_, "/backend")) << velmorad->standard_error();
  fs::remove(work_ / "velmorad.crt");
  // Renamed over it, so that the new file cannot take the freed inode of the old one.
  std::ofstream(work_ / "other.key") << "another's";
  fs::rename(work_ / "other.key", work_ / "velmorad.key");
  velmorad->send_signal(SIGINT);
  EXPECT_EQ(velmorad->wait_for_exit(), 0) << velmorad->standard_error();
  EXPECT_EQ(files(), std::vector<std::string>{"velmorad.key"});
  EXPECT_EQ(testing::file_content(work_ / "velmorad.key"), "another's");
  const std::string warning = "velmorad: warning: " + work_.string();
  EXPECT_TRUE(velmorad->wrote_error_line(
      warning + "/velmorad.key is no longer the file written at start: left in place"))
      << velmorad->standard_error();
  EXPECT_TRUE(
      velmorad->wrote_error_line(warning + "/velmorad.crt was gone at exit: nothing to remove"))
      << velmorad->standard_error();
  EXPECT_EQ(velmorad->standard_error().find("Errno"), std::string::npos);
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

// Errors a start can find at once end it before the key set is fetched, and before any file is
// written.
TEST_F(Velmorad, RefusesABadStartBeforeAnythingElse) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{"--port", "abc"}, 2,
       "Error: Invalid value for '--port' / '-p': 'abc' is not a valid integer."},
      {{"--port", "70000"}, 2,
       "Error: Invalid value for '--port' / '-p': 70000 is not in the range 0<=x<=65535."},
      {{"-p", "-1"}, 2,
       "Error: Invalid value for '--port' / '-p': -1 is not in the range 0<=x<=65535."},
      {{"--backend", "not-a-url"}, 2,
       "Error: Invalid value for '--backend': 'not-a-url' is not an http(s) URL."},
      {{"--log-level", "INFO"}, 2, "Error: Invalid value for '--log-level': 'INFO' is not one of"},
      {{"--cntrrpoll", "1.5"}, 2, "'1.5' is not a valid integer."},
      {{"--devpoll", "0"}, 2, "'--devpoll': 0 is not in the range"},
      {{"--nothing"}, 2, "Error: No such option: --nothing"},
      {{"--log", "missing/node.log"}, 1,
       "velmorad: cannot open the log file missing/node.log for appending: No such file or "
       "directory"},
      {{"--log", "."}, 1, "velmorad: cannot open the log file . for appending: Is a directory"},
  };
  for (const Case& bad : cases) {
    const auto velmorad = start(bad.args, idp_.domain());
    EXPECT_EQ(velmorad->wait_for_exit(), bad.status) << bad.args.front();
    const std::string error = velmorad->standard_error();
    EXPECT_NE(error.find(bad.message), std::string::npos) << error;
    if (bad.status == 2) {
      EXPECT_NE(error.find("Try 'velmorad --help' for help."), std::string::npos);
    }
    EXPECT_TRUE(files().empty()) << error;
  }
  const auto help = start({"--help"}, "127.0.0.1:" + std::to_string(testing::unused_tcp_port()));
  EXPECT_EQ(help->wait_for_exit(), 0);
  EXPECT_NE(help->standard_output().find("--cntrrpoll <secs>"), std::string::npos);
  // The command line and the log file are checked before the key set is fetched.
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
  // The message says which setting points at the provider.
  const std::string nobody = "127.0.0.1:" + std::to_string(testing::unused_tcp_port());
  const auto unreachable = start({}, nobody);
  EXPECT_EQ(unreachable->wait_for_exit(), 1);
  EXPECT_NE(unreachable->standard_error().find(
                "velmorad: cannot load the identity provider's key set from VELMORA_IDP_DOMAIN=" +
                nobody + ": "),
            std::string::npos)
      << unreachable->standard_error();
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
