// The job road's round trip through the local API beside the same trip through the node objects,
// in one run: a job that exits at once, from its send until the sender's record says "Complete"
// with its results filed. On one side two velmorad daemons, driven over HTTPS as a front end
// drives them (POST /sendDockerizedApp, then GET /getMyJobHistory); on the other two node_harness
// processes, driven by their line commands ("send", then "launch"). Each round runs both, in
// turn, each with an image of its own (a fresh build). All four nodes poll for packages and
// exited containers every second, on the fakes' process; the bench asks for the sender's record
// every 50 ms on both sides.
//   api_round_trip_bench [rounds]   (default 3; the engine at DOCKER_HOST)
// Prints each round, then the medians: the two round trips, their difference, and the time the
// daemons took to answer the API requests of a round trip.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/engine_janitor.hpp"
#include "testing/fakes_process.hpp"
#include "testing/harnessed_node.hpp"
#include "testing/job_folder.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/velmorad_process.hpp"
#include "velmora/boxwright/image_tags.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace {

namespace fs = std::filesystem;
using namespace velmora;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kJobName = "roundtrip";
constexpr auto kRecordPoll = 50ms;
constexpr auto kRoundLimit = 120s;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string random_word() {
  std::random_device random;
  char word[17];
  std::snprintf(word, sizeof word, "%08x%08x", random(), random());
  return word;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Whether a launch's record says the job is complete with its results filed.
bool complete(const utils::Value& launch) {
  return launch.at("status") == "Complete" && launch.at("results_path") != "None";
}

// Asks for record() every kRecordPoll until it is complete; RuntimeError past kRoundLimit.
void wait_until_complete(const std::function<utils::Value()>& record) {
  const auto deadline = Clock::now() + kRoundLimit;
  while (!complete(record())) {
    if (Clock::now() > deadline) throw utils::RuntimeError("a job did not complete within 120 s");
    std::this_thread::sleep_for(kRecordPoll);
  }
}

// A user's velmorad and a front end's client of its API, which keeps the time the daemon took
// to answer.
class FrontEnd {
 public:
  FrontEnd(const testing::FakesProcess& fakes, const fs::path& folder, const std::string& user)
      : daemon_(VELMORAD_PATH,
                {"--filepoll", "1", "--cntrrpoll", "1", "--devpoll", "1", "--log-level",
                 "warning"},
                folder / user, folder / (user + "-temp"), fakes.node_environment()),
        tokens_(fakes.sign_in(user)),
        client_(daemon_.client()) {
    call("/authenticate", utils::Value{{"refresh_token", tokens_.refresh_token}});
    call("/register", utils::Value::object());
    call("/startThreads", utils::Value::object());
    id_ = call("/getMyUUID").at("myuuid");
  }

  // The answer to a GET of path, or a POST of body; RuntimeError unless it is a success.
  utils::Value call(const std::string& path, const utils::Value& body = nullptr) {
    const httplib::Headers bearer{{"Authorization", "Bearer " + tokens_.access_token}};
    const auto start = Clock::now();
    const httplib::Result result =
        body.is_null() ? client_->Get(path, bearer)
                       : client_->Post(path, bearer, body.dump(), "application/json");
    answering_ += seconds_since(start);
    ++requests_;
    if (!result) throw utils::RuntimeError(path + ": no answer");
    utils::Value answer = utils::parse_json(result->body);
    if (answer.value("success", false) != true)
      throw utils::RuntimeError(path + " answered " + result->body);
    return answer;
  }

  // The time spent in requests, and their number, since the last call.
  std::pair<double, int> take_answering() {
    const std::pair<double, int> taken{answering_, requests_};
    answering_ = 0;
    requests_ = 0;
    return taken;
  }

  const std::string& id() const { return id_; }

 private:
  testing::VelmoradProcess daemon_;
  testing::FrontEndTokens tokens_;
  std::unique_ptr<httplib::SSLClient> client_;
  std::string id_;
  double answering_ = 0;
  int requests_ = 0;
};

// The road through the daemons: alice's job to bob, who counts her among his friends. Answers
// the job id, and the time the send took to answer.
std::pair<std::string, double> through_daemons(FrontEnd& alice, FrontEnd& bob,
                                               const fs::path& job) {
  alice.call("/sendDockerizedApp", {{"dir", job.string()}, {"uuid", bob.id()}});
  const double send = alice.take_answering().first;
  const utils::Value launches = alice.call("/getMyJobHistory").at("job_dict");
  const std::string job_id = launches.back().at("id");
  wait_until_complete([&] {
    const utils::Value history = alice.call("/getMyJobHistory");
    for (const utils::Value& launch : history.at("job_dict"))
      if (launch.at("id") == job_id) return launch;
    throw utils::RuntimeError("the launch " + job_id + " left alice's history");
  });
  return {job_id, send};
}

// A node of user, registered and polling.
std::unique_ptr<testing::HarnessedNode> harnessed_node(const testing::FakesProcess& fakes,
                                                       const fs::path& folder,
                                                       const std::string& user) {
  auto node = std::make_unique<testing::HarnessedNode>(
      NODE_HARNESS_PATH,
      std::vector<std::string>{"--refresh-token", "refresh-" + user, "--backend",
                               fakes.backend_url(), "--file-query", "1", "--container-query", "1",
                               "--log-level", "warning"},
      folder / user, folder / (user + "-temp"), fakes.node_environment());
  node->ask("register");
  node->ask("start_threads");
  return node;
}

// The same road through the node objects. Answers the job id.
std::string through_nodes(testing::HarnessedNode& carol, testing::HarnessedNode& dave,
                          const fs::path& job) {
  const std::string job_id = carol.ask("send " + dave.id_hex() + " " + job.string());
  wait_until_complete([&] { return carol.ask("launch " + job_id); });
  return job_id;
}

void measure(int rounds, const fs::path& folder, testing::EngineJanitor& janitor) {
  fs::create_directories(folder / "fakes");
  const testing::FakesProcess fakes(FAKE_BACKEND_PATH, {"alice", "bob", "carol", "dave"},
                                    folder / "fakes");
  FrontEnd alice(fakes, folder, "alice");
  FrontEnd bob(fakes, folder, "bob");
  bob.call("/declareFriend", {{"uuid", alice.id()}});
  const auto carol = harnessed_node(fakes, folder, "carol");
  const auto dave = harnessed_node(fakes, folder, "dave");
  dave->ask("declare_friend " + carol->id_hex());
  alice.take_answering();

  const std::string session = random_word();
  std::vector<double> daemons, nodes, sends, answering, requests;
  for (int n = 1; n <= rounds; ++n) {
    const fs::path jobs = folder / "jobs" / std::to_string(n);
    const std::string label = "velmora.api-round-trip=" + session + "-" + std::to_string(n);

    const fs::path daemon_job = testing::write_busybox_tar_job(
        jobs / "daemons" / kJobName, label + "-daemons", "CMD [\"/bin/busybox\", \"true\"]\n");
    auto start = Clock::now();
    const auto [daemon_job_id, send] = through_daemons(alice, bob, daemon_job);
    daemons.push_back(seconds_since(start));
    janitor.image(boxwright::sanitize_tag(kJobName, daemon_job_id));
    const auto [answered, asked] = alice.take_answering();
    sends.push_back(send);
    answering.push_back(send + answered);
    requests.push_back(asked + 1);

    const fs::path node_job = testing::write_busybox_tar_job(
        jobs / "nodes" / kJobName, label + "-nodes", "CMD [\"/bin/busybox\", \"true\"]\n");
    start = Clock::now();
    const std::string node_job_id = through_nodes(*carol, *dave, node_job);
    nodes.push_back(seconds_since(start));
    janitor.image(boxwright::sanitize_tag(kJobName, node_job_id));

    std::printf("round %d: through the daemons %5.0f ms (the send answered in %3.0f ms, %3.0f "
                "requests in %4.0f ms), through the node objects %5.0f ms\n",
                n, daemons.back() * 1e3, send * 1e3, requests.back(), answering.back() * 1e3,
                nodes.back() * 1e3);
    std::fflush(stdout);
  }
  const double difference = median(daemons) - median(nodes);
  std::printf("\n%d rounds, medians:\n", rounds);
  std::printf("  round trip through the daemons (HTTPS API)    %6.0f ms\n", median(daemons) * 1e3);
  std::printf("  round trip through the node objects           %6.0f ms\n", median(nodes) * 1e3);
  std::printf("  difference                                    %6.0f ms (%.1f %%)\n",
              difference * 1e3, 100 * difference / median(daemons));
  std::printf("  /sendDockerizedApp answered in                %6.0f ms (%.1f %%)\n",
              median(sends) * 1e3, 100 * median(sends) / median(daemons));
  std::printf("  all API requests of a round trip answered in  %6.0f ms (%.1f %%; %.0f requests:"
              " the send, then a history read every %lld ms)\n",
              median(answering) * 1e3, 100 * median(answering) / median(daemons),
              median(requests), static_cast<long long>(kRecordPoll.count()));
}

}  // namespace

int main(int argc, char** argv) try {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  if (rounds < 1) throw utils::ValueError("the number of rounds must be positive");
  const testing::ScopedFolder folder("velmora-api-round-trip-");
  testing::EngineJanitor janitor(boxwright::engine::EngineClient::from_env());
  measure(rounds, folder.path(), janitor);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "api_round_trip_bench: %s\n", e.what());
  return 1;
}
