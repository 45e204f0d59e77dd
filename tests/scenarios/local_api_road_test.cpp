// The whole system as a front end drives it: two velmorad processes, alice's and bob's, each in a
// working folder of its own and on a port of its own, driven only through their local HTTPS APIs,
// on the fakes' process and the engine of the environment. Every answer is checked whole: its
// status, its content type and its members.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <ostream>
#include <regex>
#include <set>

#include "testing/eventually.hpp"
#include "testing/velmorad_process.hpp"
#include "tests/scenarios/scenario_fixture.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::scenarios {
namespace {

namespace fs = std::filesystem;
using testing::eventually;
using utils::Value;

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kText = "text/html; charset=utf-8";  // what the API gives a plain text
constexpr const char* kUserMismatch = "Access token userinfo != Refresh token userinfo";

// One answer as a front end sees it: its status, its content type, and its body: the JSON value,
// or the text as a JSON string when it is not JSON.
struct Answer {
  int status = 0;
  std::string content_type;
  Value body;

  bool operator==(const Answer&) const = default;
};

void PrintTo(const Answer& answer, std::ostream* out) {
  *out << answer.status << " " << answer.content_type << " " << answer.body.dump();
}

Value triple(bool success, int code, const std::string& message) {
  return {{"success", success}, {"code", code}, {"msg", message}};
}
// An endpoint's answer: (success, 0, message), and its one field when it has one.
Answer ok(const std::string& message = "success") { return {200, kJson, triple(true, 0, message)}; }
Answer listing(const std::string& field, Value value, const std::string& message = "success") {
  Value body = triple(true, 0, message);
  body[field] = std::move(value);
  return {200, kJson, std::move(body)};
}
// The guard's answer to an endpoint that failed.
Answer failed(const std::string& message) { return {500, kJson, triple(false, -1, message)}; }
// The login's answers, which go out as plain text.
Answer login_answer(bool success, int code, const std::string& message) {
  return {200, kText, triple(success, code, message)};
}

Answer answer_of(const httplib::Result& result) {
  if (!result) return {0, "no answer: " + httplib::to_string(result.error()), nullptr};
  Value body;
  try {
    body = utils::parse_json(result->body);
  } catch (const std::exception&) {
    body = result->body;
  }
  return {result->status, result->get_header_value("Content-Type"), std::move(body)};
}

Statuses statuses(const Value& record) {
  Statuses found;
  for (const Value& entry : record.at("status_history")) found.push_back(entry.at(0));
  return found;
}

// The object without the members named, for comparing what two answers show of one thing.
Value without(Value object, const std::set<std::string>& names) {
  for (const std::string& name : names) object.erase(name);
  return object;
}

// Whether two objects hold the same members, in whatever order.
bool same_members(const Value& one, const Value& other) {
  return nlohmann::json::parse(one.dump()) == nlohmann::json::parse(other.dump());
}

// A user's velmorad and the front end that drives it: the user's tokens from the identity
// provider, and a client that trusts the certificate the daemon wrote.
class FrontEnd {
 public:
  FrontEnd(std::unique_ptr<testing::VelmoradProcess> daemon, testing::FrontEndTokens tokens)
      : daemon_(std::move(daemon)), tokens_(std::move(tokens)), client_(daemon_->client()) {}

  // GET path, and POST path with body, with this user's access token (or the one given).
  Answer get(const std::string& path) { return get_as(tokens_.access_token, path); }
  Answer post(const std::string& path, const Value& body = Value::object()) {
    return post_as(tokens_.access_token, path, body);
  }
  Answer get_as(const std::string& token, const std::string& path) {
    return answer_of(client_->Get(path, bearer(token)));
  }
  Answer post_as(const std::string& token, const std::string& path, const Value& body) {
    return answer_of(client_->Post(path, bearer(token), body.dump(), "application/json"));
  }
  // The login with the user's own tokens, or with another's.
  Answer log_in() { return log_in_as(tokens_); }
  Answer log_in_as(const testing::FrontEndTokens& tokens) {
    return post_as(tokens.access_token, "/authenticate", {{"refresh_token", tokens.refresh_token}});
  }

  // The records of the job history (launches) or the work history (landings): null while the
  // answer is not a success.
  Value history(const std::string& path) {
    const Answer answer = get(path);
    return answer.status == 200 ? answer.body.value("job_dict", Value()) : Value();
  }
  // The record of job_id in that history; null while it holds none.
  Value record(const std::string& path, const std::string& job_id) {
    for (const Value& record : history(path))
      if (record.at("id") == job_id) return record;
    return nullptr;
  }
  Statuses launch_statuses(const std::string& job_id) {
    const Value launch = record("/getMyJobHistory", job_id);
    return launch.is_null() ? Statuses{} : statuses(launch);
  }
  Statuses landing_statuses(const std::string& job_id) {
    const Value landing = record("/getMyWorkHistory", job_id);
    return landing.is_null() ? Statuses{} : statuses(landing);
  }

  // The device id, as the node gives it once logged in.
  const std::string& id() {
    if (id_.empty()) id_ = get("/getMyUUID").body.at("myuuid");
    return id_;
  }
  const testing::FrontEndTokens& tokens() const { return tokens_; }
  testing::VelmoradProcess& daemon() { return *daemon_; }

 private:
  static httplib::Headers bearer(const std::string& token) {
    return {{"Authorization", "Bearer " + token}};
  }

  std::unique_ptr<testing::VelmoradProcess> daemon_;
  testing::FrontEndTokens tokens_;
  std::unique_ptr<httplib::SSLClient> client_;
  std::string id_;
};

// Whether the answer to GET path comes to be wanted; the last answer seen when it does not.
::testing::AssertionResult comes_to(FrontEnd& front_end, const std::string& path,
                                    const Answer& wanted) {
  Answer last;
  if (eventually([&] { return (last = front_end.get(path)) == wanted; }))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << " answered " << ::testing::PrintToString(last)
                                       << ", not " << ::testing::PrintToString(wanted);
}

class LocalApiRoad : public ScenarioFixture {
 protected:
  // User's velmorad in <test folder>/<user>, with its temporary folder beside it, polling every
  // second, and the front end with the user's tokens.
  std::unique_ptr<FrontEnd> start_daemon(const std::string& user) {
    auto daemon = std::make_unique<testing::VelmoradProcess>(
        VELMORAD_PATH,
        std::vector<std::string>{"--devpoll", "1", "--filepoll", "1", "--cntrrpoll", "1"},
        folder_.path() / user, folder_.path() / (user + "-tmp"), fakes().node_environment());
    return std::make_unique<FrontEnd>(std::move(daemon), fakes().sign_in(user));
  }

  // Logged in, registered and polling, as a front end brings its node up.
  std::unique_ptr<FrontEnd> bring_up(const std::string& user) {
    auto front_end = start_daemon(user);
    EXPECT_EQ(front_end->log_in(), login_answer(true, 0, "success"));
    EXPECT_EQ(front_end->post("/register"), ok());
    EXPECT_EQ(front_end->post("/startThreads"), ok());
    return front_end;
  }

  // Alice asks bob for his friendship and he declares her a friend; her node takes it in. Bob's
  // profile as alice's device table holds it.
  Value befriend(FrontEnd& alice, FrontEnd& bob) {
    EXPECT_EQ(alice.post("/sendFriendRequest", {{"uuid", bob.id()}}), ok("Request sent"));
    Value inbound;
    EXPECT_TRUE(eventually([&] {
      inbound = bob.get("/getMyInboundRequestList").body.value("friend_list", Value());
      return inbound.is_array() && inbound.size() == 1;
    }));
    const Value alice_profile = inbound.at(0);
    EXPECT_EQ(alice_profile.at("uuid"), alice.id());
    EXPECT_EQ(bob.post("/declareFriend", {{"uuid", alice.id()}}), ok("friend added"));
    EXPECT_EQ(bob.get("/getMyFriendList"), listing("friend_list", Value{alice_profile}));
    EXPECT_EQ(bob.get("/getMyInboundRequestList"), listing("friend_list", Value::array()));

    Value outbound;
    EXPECT_TRUE(eventually([&] {
      outbound = alice.get("/getMyOutboundRequestList").body.value("outbound_requests", Value());
      return outbound.is_object() && outbound.contains(bob.id()) &&
             utils::parse_json(outbound.at(bob.id()).get<std::string>()).at("invite_status") ==
                 "accepted";
    })) << outbound.dump();
    EXPECT_EQ(outbound.size(), 1u);
    const Value bob_profile =
        without(utils::parse_json(outbound.at(bob.id()).get<std::string>()), {"invite_status"});
    EXPECT_EQ(bob_profile.at("uuid"), bob.id());
    return bob_profile;
  }

  // Sends the job folder from one daemon to another through the API; answers the job id. The
  // image the landing will build goes to the janitor.
  std::string send(FrontEnd& from, FrontEnd& to, const fs::path& job) {
    const Value before = from.history("/getMyJobHistory");
    EXPECT_EQ(from.post("/sendDockerizedApp", {{"dir", job.string()}, {"uuid", to.id()}}),
              ok("File sent"));
    for (const Value& launch : from.history("/getMyJobHistory")) {
      if (std::find(before.begin(), before.end(), launch) != before.end()) continue;
      const std::string job_id = launch.at("id");
      janitor_.image(job.stem().string() + ":" + job_id);
      return job_id;
    }
    ADD_FAILURE() << "no new launch in the job history";
    return "";
  }

  fs::path sleeper_folder() { return busybox_job("sleeper", kSleeperSteps, {}); }
};

TEST_F(LocalApiRoad, AFrontEndTakesTwoDaemonsThroughAJob) {
  // 1. Two daemons, each serving before any login.
  auto alice = start_daemon("alice");
  auto bob = start_daemon("bob");
  for (FrontEnd* user : {alice.get(), bob.get()}) {
    const fs::path folder = user->daemon().folder();
    for (const char* file : {"velmorad.crt", "velmorad.key"})
      EXPECT_EQ(fs::status(folder / file).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write)
          << file;
    // The client trusts only the certificate in the folder: an answer proves it is the one.
    EXPECT_EQ(user->get("/backend"), (Answer{200, kText, fakes().backend_url()}));
    EXPECT_EQ(user->get("/getMyUUID"), failed("User unauthenticated"));
  }
  EXPECT_NE(alice->daemon().port(), bob->daemon().port());

  // 2. Alice logs in on her daemon, which is hers from then on.
  EXPECT_EQ(alice->log_in(), login_answer(true, 0, "success"));
  EXPECT_EQ(alice->log_in(), login_answer(false, -1, "User is already authenticated"));
  EXPECT_EQ(alice->get_as(bob->tokens().access_token, "/getMyUUID"),
            (Answer{403, kText, triple(false, -1, kUserMismatch)}));
  EXPECT_EQ(alice->log_in_as(bob->tokens()),
            login_answer(false, -1, "User is already authenticated"));
  EXPECT_EQ(bob->log_in(), login_answer(true, 0, "success"));

  // 3. Registered and polling; who each node is.
  std::map<std::string, Value> profiles;  // by device id
  for (FrontEnd* user : {alice.get(), bob.get()}) {
    const fs::path folder = user->daemon().folder();
    EXPECT_EQ(user->post("/register"), ok());
    EXPECT_EQ(user->post("/register"), ok("Redundant registration"));
    EXPECT_EQ(user->post("/startThreads"), ok());
    const std::string id = read_text(folder / "mid.bin");
    EXPECT_EQ(user->get("/getMyUUID"), listing("myuuid", id));
    const Answer current = user->get("/getCurrentUser");
    ASSERT_EQ(current.status, 200);
    const Value profile = current.body.at("profile");
    EXPECT_EQ(current, listing("profile", profile));
    EXPECT_EQ(profile.at("uuid"), id);
    EXPECT_EQ(profile.at("username"), user == alice.get() ? "alice" : "bob");
    EXPECT_EQ(profile.at("public_key"), utils::b2s(utils::Bytes(read_text(folder / "pub.key"))));
    EXPECT_EQ(profile.at("status_type"), "ONLINE");
    EXPECT_EQ(user->get("/getMyName"), listing("myname", profile.at("hostname")));
    profiles[id] = profile;
  }
  EXPECT_NE(alice->id(), bob->id());
  // Each lists both devices, in the backend's order, with what they registered (the backend
  // keeps no password, and the status apart).
  Value devices;
  ASSERT_TRUE(eventually([&] {
    devices = alice->get("/getDeviceList").body.value("users_profiles", Value());
    return devices.is_array() && devices.size() == 2;
  })) << devices.dump();
  EXPECT_TRUE(comes_to(*bob, "/getDeviceList", listing("users_profiles", devices)));
  EXPECT_EQ(devices.at(0).at("uuid"), alice->id());
  EXPECT_EQ(devices.at(1).at("uuid"), bob->id());
  for (const Value& device : devices)
    EXPECT_TRUE(same_members(device, without(profiles.at(device.at("uuid")),
                                             {"password", "status_type"})))
        << device.dump();

  // 4. Friends: bob's node runs alice's jobs.
  const Value bob_profile = befriend(*alice, *bob);
  EXPECT_EQ(bob_profile, devices.at(1));
  EXPECT_EQ(alice->get("/getMyFriendList"), listing("friend_list", Value::array()));

  // 5. The job, and its results filed on alice's node.
  const fs::path job = sim_folder();
  const std::string job_id = send(*alice, *bob, job);
  ASSERT_TRUE(eventually([&] { return last(alice->launch_statuses(job_id)) == "Complete"; }))
      << joined(alice->launch_statuses(job_id)) << alice->daemon().log() << bob->daemon().log();
  const Value launch = alice->record("/getMyJobHistory", job_id);
  EXPECT_EQ(statuses(launch), kLaunchRoad);
  const std::string results = "results/sim_" + job_id;
  EXPECT_EQ(without(launch, {"status_history"}), (Value{{"path", job.string()},
                                                        {"name", "sim"},
                                                        {"owner", alice->id()},
                                                        {"receiver", bob->id()},
                                                        {"id", job_id},
                                                        {"status", "Complete"},
                                                        {"results_path", results}}));
  EXPECT_EQ(alice->get("/getMyJobHistory"), listing("job_dict", Value{launch}));
  const fs::path filed = alice->daemon().folder() / results;
  EXPECT_EQ(read_text(filed / "output.log"), "hello-from-job\n");
  EXPECT_EQ(read_text(filed / "filesys/out/result.txt"), "42\n");
  EXPECT_EQ(names_in(filed), (std::set<std::string>{"output.log", "filesys"}));

  ASSERT_TRUE(eventually([&] { return last(bob->landing_statuses(job_id)) == "Complete"; }));
  const Value landing = bob->record("/getMyWorkHistory", job_id);
  EXPECT_EQ(statuses(landing), kLandingRoad);
  EXPECT_EQ(without(landing, {"status_history", "path"}), (Value{{"name", "sim"},
                                                                 {"owner", alice->id()},
                                                                 {"receiver", bob->id()},
                                                                 {"id", job_id},
                                                                 {"status", "Complete"}}));
  EXPECT_EQ(bob->get("/getMyWorkHistory"), listing("job_dict", Value{landing}));

  // 9. The histories cleared.
  EXPECT_EQ(alice->get("/clearMyJobHistory"), ok());
  EXPECT_EQ(alice->get("/getMyJobHistory"), listing("job_dict", Value::array()));
  EXPECT_EQ(bob->get("/clearMyWorkHistory"), ok());
  EXPECT_EQ(bob->get("/getMyWorkHistory"), listing("job_dict", Value::array()));

  // 10. Shutdown: the polls end, the devices leave the registry, the daemons end cleanly.
  for (FrontEnd* user : {alice.get(), bob.get()}) {
    EXPECT_EQ(user->post("/killThreads"), ok());
    const Statuses reports = status_reports(user->id());
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), "OFFLINE");
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "OFFLINE"), 1) << joined(reports);
    EXPECT_EQ(user->post("/unregister"), ok());
    user->daemon().process().send_signal(SIGINT);
    EXPECT_EQ(user->daemon().process().wait_for_exit(), 0) << user->daemon().log();
    EXPECT_FALSE(fs::exists(user->daemon().folder() / "velmorad.crt"));
    EXPECT_FALSE(fs::exists(user->daemon().folder() / "velmorad.key"));
  }
  EXPECT_FALSE(requests().empty());
}

class TwoFriendsDaemons : public LocalApiRoad {
 protected:
  TwoFriendsDaemons() : alice_(bring_up("alice")), bob_(bring_up("bob")) {
    bob_profile_ = befriend(*alice_, *bob_);
  }

  // A sleeping job from alice, running on bob's node; its id.
  std::string start_sleeper() {
    const std::string job_id = send(*alice_, *bob_, busybox_job("sleeper", kSleeperSteps, {}));
    EXPECT_TRUE(
        eventually([&] { return last(alice_->launch_statuses(job_id)) == "Running"; }))
        << joined(alice_->launch_statuses(job_id)) << bob_->daemon().log();
    return job_id;
  }

  std::unique_ptr<FrontEnd> alice_;
  std::unique_ptr<FrontEnd> bob_;
  Value bob_profile_;  // as alice's device table holds it
};

TEST_F(TwoFriendsDaemons, TheJobControlsReachTheContainer) {
  // 6. Alice pauses, unpauses and stops her job on bob's node.
  const std::string job_id = start_sleeper();
  const Value job{{"job_id", job_id}};
  EXPECT_EQ(alice_->post("/pauseLaunch", job), ok());
  EXPECT_TRUE(eventually([&] { return last(alice_->launch_statuses(job_id)) == "Paused"; }))
      << joined(alice_->launch_statuses(job_id));
  EXPECT_EQ(alice_->post("/unpauseLaunch", job), ok());
  EXPECT_TRUE(eventually([&] { return last(alice_->launch_statuses(job_id)) == "Unpaused"; }))
      << joined(alice_->launch_statuses(job_id));
  EXPECT_EQ(alice_->post("/stopLaunch", job), ok());
  EXPECT_TRUE(eventually([&] { return last(alice_->launch_statuses(job_id)) == "Stopped"; }))
      << joined(alice_->launch_statuses(job_id));
  EXPECT_TRUE(in_order(alice_->launch_statuses(job_id),
                       {"Running", "Pausing", "Paused", "Unpausing", "Unpaused", "Stopping",
                        "Stopped"}))
      << joined(alice_->launch_statuses(job_id));
  const std::string results = "results/sleeper_" + job_id;
  ASSERT_TRUE(eventually([&] {
    return alice_->record("/getMyJobHistory", job_id).value("results_path", "") == results;
  }));
  const fs::path filed = alice_->daemon().folder() / results;
  EXPECT_EQ(read_text(filed / "output.log"), "");
  EXPECT_TRUE(fs::is_empty(filed / "filesys"));
  EXPECT_TRUE(eventually([&] { return last(bob_->landing_statuses(job_id)) == "Stopped"; }))
      << joined(bob_->landing_statuses(job_id));

  // Bob stops another on his own node.
  const std::string other = start_sleeper();
  EXPECT_EQ(bob_->post("/stopLanding", {{"job_id", other}}), ok());
  EXPECT_TRUE(eventually([&] { return last(bob_->landing_statuses(other)) == "Stopped"; }))
      << joined(bob_->landing_statuses(other));
  EXPECT_TRUE(eventually([&] { return last(alice_->launch_statuses(other)) == "Stopped"; }))
      << joined(alice_->launch_statuses(other));

  // A control finds its job on its own side only.
  const std::string unknown = "0123456789abcdef0123456789abcdef";
  EXPECT_EQ(alice_->post("/stopLaunch", {{"job_id", unknown}}), failed("'" + unknown + "'"));
  EXPECT_EQ(alice_->post("/pauseLanding", job), failed("'" + job_id + "'"));
  EXPECT_EQ(bob_->post("/unpauseLaunch", job), failed("'" + job_id + "'"));
}

TEST_F(TwoFriendsDaemons, AGroupIsMadeJoinedAndLeftAndALogIsUploaded) {
  // 7. Alice's group, bob invited, joined and removed.
  EXPECT_EQ(alice_->post("/createGroup", {{"gName", "crew"}, {"desc", "GPU"}}),
            ok("group created"));
  EXPECT_EQ(alice_->post("/inviteUserToGroup", {{"gName", "crew"}, {"uuid", bob_->id()}}),
            ok("User invited"));
  EXPECT_TRUE(comes_to(*bob_, "/inboundGroupInvitations", listing("inbound_invites", {"crew"})));
  EXPECT_EQ(bob_->post("/respondToGroupInvitation", {{"gName", "crew"}, {"accept", true}}),
            ok("Invitation response succeeded"));
  EXPECT_EQ(bob_->get("/inboundGroupInvitations"), listing("inbound_invites", Value::array()));
  EXPECT_TRUE(comes_to(
      *alice_, "/outboundGroupInvitations",
      listing("outbound_invites",
              Value{Value{{"group", "crew"}, {"user", bob_profile_}, {"status", "accepted"}}})));
  EXPECT_EQ(alice_->post("/groupMemberInfo", {{"gName", "crew"}}),
            listing("member_list", Value{bob_profile_}, "member list retrieved"));
  EXPECT_EQ(bob_->post("/groupOwnerInfo", {{"gName", "crew"}}),
            listing("info", {{"username", alice_->id()}}, "Owner info retrieved"));
  EXPECT_EQ(bob_->get("/getMyGroups"),
            listing("profile", Value{Value{{"name", "crew"}, {"desc", "GPU"}}}));

  EXPECT_EQ(alice_->post("/removeGroupMember", {{"gName", "crew"}, {"uuid", bob_->id()}}),
            ok("Group member removal succeeded"));
  EXPECT_TRUE(comes_to(*bob_, "/groupRemovals", listing("removals", {"crew"})));
  EXPECT_EQ(bob_->get("/getMyGroups"), listing("profile", Value::array()));
  EXPECT_EQ(alice_->post("/destroyGroup", {{"gName", "crew"}}), ok("group destroyed"));
  EXPECT_EQ(alice_->get("/getMyGroups"), listing("profile", Value::array()));

  // 8. A log handed to the backend, under a name that says whose it is; a device is refused.
  const fs::path log = folder_.path() / "front-end.log";
  std::ofstream(log) << "the front end's log\n";
  EXPECT_EQ(alice_->post("/upload_log", {{"log_path", log.string()}}), ok());
  const std::vector<testing::RecordedPackage> logs = this->logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].to, "");
  EXPECT_EQ(logs[0].from, alice_->id());
  EXPECT_TRUE(std::regex_match(logs[0].filename,
                               std::regex("alice-" + alice_->id() + "-[0-9]+(\\.[0-9]+)?\\.log")))
      << logs[0].filename;
  EXPECT_EQ(read_text(logs[0].file), "the front end's log\n");

  const std::size_t requests_before = requests().size();
  EXPECT_EQ(alice_->post("/upload_log", {{"log_path", "/dev/zero"}}),
            failed("log file '/dev/zero' is not a regular file"));
  EXPECT_EQ(requests().size(), requests_before);
}

}  // namespace
}  // namespace velmora::scenarios
