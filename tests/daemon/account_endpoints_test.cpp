// The account and device endpoints through HTTPS against the real server, with the logged-in node
// on the fake backend: who the node is, the device list, registration, and the log upload, which
// sends only a regular file, checked and sent through one descriptor, and never a key file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

#include "logged_in_api.hpp"
#include "testing/eventually.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/http/http_client.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

using utils::string_to_result_json;
using utils::Value;

class AccountEndpoints : public LoggedInApi {
 protected:
  // The bytes the backend's storage holds at the address of the one upload made so far.
  std::string uploaded_bytes() const {
    std::string path;
    for (const auto& request : backend_.server().requests())
      if (request.method == "PUT" && request.path.starts_with("/storage/")) path = request.path;
    if (path.empty()) return "(no upload)";
    return utils::http_request({.url = backend_.url() + path}).body;
  }
};

TEST_F(AccountEndpoints, IdentityEndpointsAnswerTheClientsDevice) {
  const auto& device = *node().network()->local_device();
  EXPECT_EQ(call("/getMyUUID")->body,
            string_to_result_json(true, 0, "success", "myuuid", model::kNodeId));
  EXPECT_EQ(call("/getMyName")->body,
            string_to_result_json(true, 0, "success", "myname", device.hostname()));
  EXPECT_EQ(answer("/register"), utils::parse_json(kSuccess));
  // The profile holds what the requests wrote into it, the registration's members among them.
  const Value profile = answer("/getCurrentUser").at("profile");
  EXPECT_EQ(profile, device.info());
  EXPECT_EQ(profile.at("uuid"), model::kNodeId);
  EXPECT_EQ(profile.at("username"), networking::kUser);
}

TEST_F(AccountEndpoints, TheDeviceListIsTheClientsTableInTheBackendsOrder) {
  EXPECT_EQ(call("/getDeviceList")->body,
            string_to_result_json(true, 0, "success", "users_profiles", Value::array()));
  answer("/register");
  launch_node_->register_(*launch_node_->local_device());
  landing_node_->register_(*landing_node_->local_device());
  node().network()->update_devices();

  const Value profiles = answer("/getDeviceList").at("users_profiles");
  ASSERT_EQ(profiles.size(), 3u);
  std::vector<std::string> ids;
  for (const Value& profile : profiles) ids.push_back(profile.at("uuid"));
  EXPECT_EQ(ids, (std::vector<std::string>{model::kNodeId, networking::kDeviceId,
                                           networking::kPeerId}));
  const auto devices = node().network()->devices();
  EXPECT_EQ(profiles[1], devices->find(utils::s2b(networking::kDeviceId))->second.info());

  // The next table the client reads is the next answer's.
  landing_node_->unregister();
  node().network()->update_devices();
  EXPECT_EQ(answer("/getDeviceList").at("users_profiles").size(), 2u);
}

// The answer is made once for each table: requests share one text until the client reads a
// table that differs, and the server answers those very bytes.
TEST_F(AccountEndpoints, TheDeviceListIsMadeOnceForEachTable) {
  answer("/register");
  launch_node_->register_(*launch_node_->local_device());
  node().network()->update_devices();
  const KeptText first = kept_text("getDeviceList");
  ASSERT_TRUE(first);
  EXPECT_EQ(kept_text("getDeviceList"), first);
  EXPECT_EQ(call("/getDeviceList")->body, *first);
  node().network()->update_devices();  // the same list: the same table
  EXPECT_EQ(kept_text("getDeviceList"), first);

  landing_node_->register_(*landing_node_->local_device());
  node().network()->update_devices();
  const KeptText next = kept_text("getDeviceList");
  ASSERT_TRUE(next);
  EXPECT_NE(next, first);
  EXPECT_EQ(utils::parse_json(*next).at("users_profiles").size(), 3u);
  EXPECT_EQ(call("/getDeviceList")->body, *next);
}

TEST_F(AccountEndpoints, RegistersOnceAndAgainAfterARestart) {
  EXPECT_EQ(call("/register", "not even JSON")->body, kSuccess);  // the body is not read
  EXPECT_TRUE(node().network()->is_registered());
  EXPECT_EQ(call("/register")->body,
            string_to_result_json(true, 0, "Redundant registration"));
  EXPECT_EQ(requests_to("/registry/register").size(), 1u);

  restart_api();
  log_in();
  EXPECT_EQ(call("/register")->body, kSuccess);
  EXPECT_EQ(requests_to("/registry/register").size(), 2u);
}

// A registration the backend refuses fails with the backend's error, and leaves the device
// unregistered, so that a later one goes through. (The client either registers or throws, so
// "Login failure" would need an unregistration between the two.)
TEST_F(AccountEndpoints, ARefusedRegistrationFailsWithTheBackendsErrorAndMayBeTriedAgain) {
  backend_.server().script("/registry/register",
                           testing::FakeBackend::backend_answer(
                               {{"valid", false}, {"code", 3}, {"msg", "Registry is full"}}));
  EXPECT_TRUE(failure("/register").starts_with("Code 3: Registry is full\n    "));
  EXPECT_FALSE(node().network()->is_registered());
  EXPECT_EQ(call("/register")->body, kSuccess);
}

TEST_F(AccountEndpoints, UnregistersARegisteredDeviceOnly) {
  EXPECT_EQ(failure("/unregister"), "Redundant Unregistration");
  EXPECT_TRUE(requests_to("/registry/unregister").empty());
  answer("/register");
  EXPECT_EQ(call("/unregister")->body, kSuccess);
  EXPECT_FALSE(node().network()->is_registered());
  const auto sent = requests_to("/registry/unregister");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(utils::parse_json(sent[0].body).at("uuid"), model::kNodeId);
  EXPECT_EQ(call("/register")->body, kSuccess);
}

TEST_F(AccountEndpoints, UploadsALogUnderTheUsersDeviceAndTheTime) {
  std::ofstream("node.log", std::ios::binary) << "line one\nline two\n";
  EXPECT_EQ(call("/upload_log", R"({"log_path": "node.log", "other": 1})")->body, kSuccess);
  const auto asked = requests_to("/transfer/sendfilereq");
  ASSERT_EQ(asked.size(), 1u);
  const Value request = utils::parse_json(asked[0].body);
  EXPECT_EQ(request.at("uuid_friend"), "");
  EXPECT_EQ(request.at("log"), "1");
  const std::string name = request.at("file_to_share");
  EXPECT_TRUE(std::regex_match(
      name, std::regex("ada-" + model::kNodeId + R"(-[0-9]{10}\.[0-9]+\.log)")))
      << name;
  EXPECT_EQ(uploaded_bytes(), "line one\nline two\n");
  EXPECT_TRUE(requests_to("/transfer/sendfilecom").empty()) << "a log is not completed";
}

TEST_F(AccountEndpoints, ANumberIsTheLogPathsText) {
  std::ofstream("42", std::ios::binary) << "forty-two";
  EXPECT_EQ(call("/upload_log", R"({"log_path": 42})")->body, kSuccess);
  EXPECT_EQ(uploaded_bytes(), "forty-two");
}

// Only a regular file is sent: a FIFO would hold the request until someone wrote to it and
// /dev/zero would never end, so both are refused before the backend is asked, as is a path that
// names nothing and a body without "log_path".
TEST_F(AccountEndpoints, UploadsNothingButARegularFile) {
  ASSERT_EQ(::mkfifo("pipe.log", 0600), 0);
  std::filesystem::create_directory("folder.log");
  for (const std::string path : {"pipe.log", "/dev/zero", "folder.log"}) {
    EXPECT_EQ(failure("/upload_log", Value{{"log_path", path}}.dump()),
              "log file '" + path + "' is not a regular file");
  }
  EXPECT_EQ(failure("/upload_log", R"({"log_path": "absent.log"})"),
            "[Errno 2] No such file or directory: 'absent.log'");
  EXPECT_EQ(failure("/upload_log", R"({"path": "node.log"})"), "'log_path'");
  EXPECT_TRUE(requests_to("/transfer/sendfilereq").empty());
}

// The log is opened once and sent from that descriptor: a FIFO put at its path while the backend
// is asked is never opened, and the request ends with the bytes of the file that was checked.
TEST_F(AccountEndpoints, ALogPathSwappedForAFifoAfterTheCheckSendsTheCheckedFile) {
  std::ofstream("node.log", std::ios::binary) << "checked bytes\n";
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  backend_.server().hold("/transfer/sendfilereq");
  auto upload = std::async(std::launch::async, [this] {
    const auto result = call("/upload_log", R"({"log_path": "node.log"})");
    return result ? result->body : std::string("no answer");
  });
  ASSERT_TRUE(
      testing::eventually([&] { return backend_.server().calls("/transfer/sendfilereq") == 1; }));
  std::filesystem::rename("pipe", "node.log");
  backend_.server().release("/transfer/sendfilereq");
  if (upload.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the upload waits on the FIFO";
    const int writer = ::open("node.log", O_WRONLY | O_NONBLOCK);  // lets it go
    upload.wait();
    ::close(writer);
  }
  EXPECT_EQ(upload.get(), kSuccess);
  EXPECT_EQ(uploaded_bytes(), "checked bytes\n");
}

// The node's key files are no log, whatever name reaches them: the answer says why, and nothing
// is asked of the backend.
TEST_F(AccountEndpoints, TheNodesKeyFilesAreNoLog) {
  const model::NodeSettings& settings = node().settings();
  std::filesystem::create_hard_link(settings.priv_key_file, "hard.log");
  std::filesystem::create_symlink(settings.pub_key_file, "link.log");
  const std::string absolute = std::filesystem::absolute(settings.priv_key_file).string();
  const std::pair<std::string, std::string> cases[] = {
      {settings.priv_key_file, settings.priv_key_file},
      {"./" + settings.priv_key_file, settings.priv_key_file},
      {absolute, settings.priv_key_file},
      {"hard.log", settings.priv_key_file},
      {"link.log", settings.pub_key_file},
  };
  for (const auto& [path, key_file] : cases)
    EXPECT_EQ(failure("/upload_log", Value{{"log_path", path}}.dump()),
              "log file '" + path + "' is the node's key file '" + key_file +
                  "': key files are never sent");
  EXPECT_TRUE(requests_to("/transfer/sendfilereq").empty());
}

}  // namespace
}  // namespace velmora::daemon
