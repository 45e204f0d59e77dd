// The job endpoints through HTTPS against the real server, with the logged-in node on the fake
// backend and the peer client kPeerId as the receiver of its launches: sending a job folder, the
// histories and their clearing, and how the controls find their records. The controls against
// the engine, through two nodes: job_controls_test.cpp.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "logged_in_api.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

namespace fs = std::filesystem;
using utils::string_to_result_json;
using utils::Value;

const std::string kSent = string_to_result_json(true, 0, "File sent");
const char* const kControls[] = {"/stopLaunch",  "/startLaunch",  "/pauseLaunch",
                                 "/unpauseLaunch", "/stopLanding", "/startLanding",
                                 "/pauseLanding", "/unpauseLanding"};

class JobEndpoints : public LoggedInApi {
 protected:
  // A folder name within a folder of its own, holding a Dockerfile.
  fs::path job_named(const std::string& name) {
    const fs::path folder = folders_.emplace_back().path() / name;
    fs::create_directories(folder);
    std::ofstream(folder / "Dockerfile") << "FROM scratch\n";
    return folder;
  }
  std::string send_body(const std::string& dir, const std::string& uuid = networking::kPeerId) {
    return Value{{"dir", dir}, {"uuid", uuid}}.dump();
  }
  // The one launch of the job history.
  Value only_launch() {
    const Value launches = answer("/getMyJobHistory").at("job_dict");
    EXPECT_EQ(launches.size(), 1u);
    return launches.empty() ? Value() : launches[0];
  }
  static std::vector<std::string> statuses(const Value& record) {
    std::vector<std::string> found;
    for (const Value& entry : record.at("status_history")) found.push_back(entry.at(0));
    return found;
  }
  // What the store file holds now.
  template <class Records>
  static Records stored(const std::string& file) {
    return model::Store<Records>(file, [] { return Records(); }).snapshot();
  }
  // The subjects of the packages that reached the peer since it last looked.
  std::vector<std::string> sent_to_peer() { return summaries(packages_for(*landing_node_)); }

  std::vector<testing::ScopedFolder> folders_;
};

TEST_F(JobEndpoints, ASentFolderIsListedAsASentLaunch) {
  const fs::path dir = job_named("sim.v1");
  EXPECT_EQ(call("/sendDockerizedApp", send_body(dir.string()))->body, kSent);
  const Value launch = only_launch();
  std::vector<std::string> keys;
  for (const auto& [key, value] : launch.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"path", "name", "owner", "receiver", "id", "status",
                                            "status_history", "results_path"}));
  EXPECT_EQ(launch["path"], dir.string());
  EXPECT_EQ(launch["name"], "sim");
  EXPECT_EQ(launch["owner"], model::kNodeId);
  EXPECT_EQ(launch["receiver"], networking::kPeerId);
  EXPECT_TRUE(std::regex_match(launch["id"].get<std::string>(), std::regex("[0-9a-f]{32}")));
  EXPECT_EQ(launch["status"], "Sent");
  EXPECT_EQ(statuses(launch), (std::vector<std::string>{"New", "Sent"}));
  EXPECT_TRUE(std::regex_match(launch["status_history"][1][1].get<std::string>(),
                               std::regex(R"([0-9]+\.[0-9]+)")));
  EXPECT_EQ(launch["results_path"], "None");
  EXPECT_TRUE(stored<job::Launches>("launches.bin").contains(launch["id"])) << "stored first";
  EXPECT_EQ(sent_to_peer(), std::vector<std::string>{"job_submission"});
}

// The name drops the folder's last suffix, also behind a trailing separator; the Dockerfile need
// only exist.
TEST_F(JobEndpoints, TheLaunchIsNamedAfterTheFolder) {
  const fs::path dir = job_named("render.scene.v2");
  fs::remove(dir / "Dockerfile");
  fs::create_directory(dir / "Dockerfile");
  EXPECT_EQ(call("/sendDockerizedApp", send_body(dir.string() + "/"))->body, kSent);
  EXPECT_EQ(only_launch()["name"], "render.scene");
}

TEST_F(JobEndpoints, ASendThatFailsStoresAndSendsNothing) {
  const fs::path dir = job_named("empty");
  fs::remove(dir / "Dockerfile");
  const std::pair<std::string, std::string> failures[] = {
      {send_body(dir.string()),
       "[Errno 2] No such file or directory: '" + (dir / "Dockerfile").string() + "'"},
      {send_body((dir / "absent").string()),
       "[Errno 2] No such file or directory: '" + (dir / "absent" / "Dockerfile").string() + "'"},
      {R"({"uuid": "x"})", "'dir'"},
      {"{}", "'dir'"},
      {Value{{"dir", dir.string()}}.dump(), "'uuid'"},
      {"[1]", "the request body must be a JSON object, not list"},
  };
  for (const auto& [body, message] : failures) EXPECT_EQ(failure("/sendDockerizedApp", body), message);
  // A device id with a code point above U+00FF has no bytes form.
  EXPECT_NE(failure("/sendDockerizedApp", send_body(job_named("other").string(), "\u0100")), "");
  EXPECT_EQ(answer("/getMyJobHistory").at("job_dict"), Value::array());
  EXPECT_TRUE(requests_to("/transfer/sendfilereq").empty());
}

// A control finds its record in its own side's store only, by the id's text; what the store does
// not hold fails with the id's key error, and nothing is sent.
TEST_F(JobEndpoints, EachControlLooksItsIdUpInItsOwnStoreOnly) {
  answer("/sendDockerizedApp", send_body(job_named("sim").string()));
  const std::string launch_id = only_launch()["id"];
  sent_to_peer();
  for (const std::string control : kControls) {
    SCOPED_TRACE(control);
    EXPECT_EQ(failure(control, R"({"job_id": "nope"})"), "'nope'");
    EXPECT_EQ(failure(control, R"({"job_id": 42})"), "'42'");
    EXPECT_EQ(failure(control, R"({"job_id": null})"), "'None'");
    EXPECT_EQ(failure(control, R"({"id": "x"})"), "'job_id'");
    EXPECT_TRUE(failure(control, "not json").starts_with("Failed to decode JSON object: "));
    if (control.ends_with("Landing")) {
      EXPECT_EQ(failure(control, Value{{"job_id", launch_id}}.dump()), "'" + launch_id + "'");
    }
  }
  EXPECT_TRUE(sent_to_peer().empty());
}

// A launch control sends its package to the receiver and records the launch's own word at once;
// it answers success although the receiver holds no such landing.
TEST_F(JobEndpoints, ALaunchControlSendsItsPackageAndRecordsItsWord) {
  answer("/sendDockerizedApp", send_body(job_named("sim").string()));
  const std::string id = only_launch()["id"];
  sent_to_peer();
  const std::string body = Value{{"job_id", id}, {"extra", true}}.dump();
  for (const std::string control : {"/pauseLaunch", "/unpauseLaunch", "/stopLaunch", "/startLaunch"})
    EXPECT_EQ(call(control, body)->body, kSuccess) << control;
  EXPECT_EQ(statuses(only_launch()), (std::vector<std::string>{"New", "Sent", "Pausing",
                                                               "Unpausing", "Stopping",
                                                               "Starting"}));
  const auto packages = packages_for(*landing_node_);
  ASSERT_EQ(summaries(packages), (std::vector<std::string>{"pause_landing", "unpause_landing",
                                                          "stop_landing", "start_landing"}));
  EXPECT_EQ(packages[0].label.at("job_id"), id);
}

TEST_F(JobEndpoints, HistoriesListTheStoresAndTheClearsForgetThem) {
  for (const char* history : {"/getMyJobHistory", "/getMyWorkHistory"})
    EXPECT_EQ(call(history)->body,
              string_to_result_json(true, 0, "success", "job_dict", Value::array()));
  EXPECT_EQ(call("/clearMyJobHistory")->body, kSuccess);

  for (const char* name : {"first", "second", "third"})
    answer("/sendDockerizedApp", send_body(job_named(name).string()));
  const auto landing = std::make_shared<job::Lander>("/tmp/landed", "landed", networking::kDeviceId,
                                                     model::kNodeId, nullptr, std::nullopt, false);
  node().landings().with([&](job::Landings& landings) { landings[landing->id()] = landing; });

  const Value launches = answer("/getMyJobHistory").at("job_dict");
  ASSERT_EQ(launches.size(), 3u);
  EXPECT_EQ(launches[0]["name"], "first");
  EXPECT_EQ(launches[2]["name"], "third");
  EXPECT_EQ(answer("/getMyWorkHistory").at("job_dict"), Value::array({landing->to_dict()}));

  EXPECT_EQ(call("/clearMyJobHistory")->body, kSuccess);
  EXPECT_EQ(answer("/getMyJobHistory").at("job_dict"), Value::array());
  EXPECT_TRUE(stored<job::Launches>("launches.bin").empty());
  const std::string cleared = launches[0]["id"];
  EXPECT_EQ(failure("/stopLaunch", Value{{"job_id", cleared}}.dump()), "'" + cleared + "'");
  EXPECT_EQ(call("/clearMyWorkHistory")->body, kSuccess);
  EXPECT_EQ(answer("/getMyWorkHistory").at("job_dict"), Value::array());
  EXPECT_TRUE(stored<job::Landings>("landings.bin").empty());
}

// A history's answer is made again only when a record comes, changes or goes; until then
// requests share one text, the bytes the server answers.
TEST_F(JobEndpoints, AHistoryIsMadeAgainOnlyWhenItsRecordsChange) {
  const KeptText empty = kept_text("getMyJobHistory");
  ASSERT_TRUE(empty);
  EXPECT_EQ(kept_text("getMyJobHistory"), empty);
  EXPECT_EQ(call("/getMyJobHistory")->body, *empty);

  answer("/sendDockerizedApp", send_body(job_named("first").string()));
  const KeptText sent = kept_text("getMyJobHistory");
  ASSERT_TRUE(sent);
  EXPECT_NE(sent, empty);
  EXPECT_EQ(kept_text("getMyJobHistory"), sent);
  EXPECT_EQ(call("/getMyJobHistory")->body, *sent);

  const std::string id = only_launch()["id"];
  EXPECT_EQ(call("/pauseLaunch", Value{{"job_id", id}}.dump())->body, kSuccess);
  const KeptText paused = kept_text("getMyJobHistory");
  ASSERT_TRUE(paused);
  EXPECT_NE(paused, sent);
  EXPECT_EQ(utils::parse_json(*paused).at("job_dict")[0]["status"], "Pausing");
  EXPECT_EQ(call("/getMyJobHistory")->body, *paused);

  EXPECT_EQ(call("/clearMyJobHistory")->body, kSuccess);
  EXPECT_EQ(*kept_text("getMyJobHistory"), *empty);
  EXPECT_EQ(kept_text("getMyWorkHistory"), kept_text("getMyWorkHistory"));
}

// The server refuses another method before the guard: the routes' handlers never see the request.
TEST_F(JobEndpoints, AnotherMethodIsRefusedBeforeTheGuard) {
  const httplib::Result get_control = get("/stopLaunch", bearer(access_token()));
  expect_server_page(get_control, 405);
  EXPECT_EQ(get_control->get_header_value("Allow"), "OPTIONS, POST");
  expect_server_page(post("/getMyJobHistory", "{}", bearer(access_token())), 405);
  expect_server_page(post("/clearMyWorkHistory", "{}", bearer(access_token())), 405);
  EXPECT_EQ(arrivals("/stopLaunch"), 0);
  EXPECT_EQ(arrivals("/getMyJobHistory"), 0);
  EXPECT_EQ(arrivals("/clearMyWorkHistory"), 0);
}

}  // namespace
}  // namespace velmora::daemon
