// The job road's round trip, in one run: a job that exits at once, from the sender's
// send_dockerized_app to its results filed on the sender, between two node processes
// (node_harness) on loopback, polling for packages and exited containers every second; beside
// it, in turn within each round, `docker build` and `docker run` of the same folder. Each round
// builds a fresh image on either side (a label of its own), so neither meets the build cache.
//   round_trip_bench [rounds]   (default 10; the engine at DOCKER_HOST and the docker CLI)
// Prints each round, then the median and range of every stretch of the road, of each share
// (transfers, poll waits, engine, status reports, the node's own work) and of the whole. The
// fakes run in this process. Everything the run makes is removed at its end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "round_trip_marks.hpp"
#include "round_trip_split.hpp"
#include "testing/docker_cli.hpp"
#include "testing/engine_janitor.hpp"
#include "testing/eventually.hpp"
#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/file_tree.hpp"
#include "testing/harnessed_node.hpp"
#include "testing/job_folder.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/image_tags.hpp"
#include "velmora/utils/error.hpp"

namespace {

namespace fs = std::filesystem;
using namespace velmora;
using namespace std::chrono_literals;

constexpr const char* kJobName = "roundtrip";

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string random_word() {
  std::random_device random;
  char word[17];
  std::snprintf(word, sizeof word, "%08x%08x", random(), random());
  return word;
}

// The fakes, with a user for each node; tells the nodes where they are.
struct Fakes {
  explicit Fakes(const fs::path& folder)
      : tls(testing::make_self_signed_certificate(folder, "fakes", testing::TlsKey::ec_p256)) {
    for (const std::string user : {"alice", "bob"}) {
      idp.set_refresh_token("refresh-" + user, "access-" + user);
      idp.set_user("access-" + user, user);
      backend.set_refresh_token("refresh-" + user, "access-" + user);
    }
  }

  // A node of user, registered and polling.
  std::unique_ptr<testing::HarnessedNode> node(const fs::path& folder, const std::string& user) {
    auto node = std::make_unique<testing::HarnessedNode>(
        VELMORA_NODE_HARNESS,
        std::vector<std::string>{"--refresh-token", "refresh-" + user, "--backend", backend.url(),
                                 "--file-query", "1", "--container-query", "1", "--log-level",
                                 "warning"},
        folder / user, folder / (user + "-temp"),
        std::map<std::string, std::string>{{"VELMORA_IDP_DOMAIN", idp.domain()},
                                           {"VELMORA_CA_FILE", tls.cert.string()},
                                           {"no_proxy", "127.0.0.1"},
                                           {"NO_PROXY", "127.0.0.1"}});
    node->ask("register");
    node->ask("start_threads");
    return node;
  }

  testing::TlsFiles tls;
  testing::FakeIdentityProvider idp{tls};
  testing::FakeBackend backend{tls};
};

// A job folder that exits at once, with a label that makes its image a fresh build.
fs::path job_folder(const fs::path& folder, const std::string& label) {
  return testing::write_busybox_tar_job(folder, label, "CMD [\"/bin/busybox\", \"true\"]\n");
}

std::map<std::string, double> status_times(const utils::Value& record) {
  std::map<std::string, double> times;
  for (const utils::Value& entry : record.at("status_history"))
    times.emplace(entry.at(0).get<std::string>(), std::stod(entry.at(1).get<std::string>()));
  return times;
}

// Figures of the rounds: median and range.
struct Figures {
  std::vector<double> values;

  double median() const {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  }
  void print(const std::string& name) const {
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    std::printf("  %-52s %6.0f ms  (%.0f to %.0f)\n", name.c_str(), median() * 1e3, *low * 1e3,
                *high * 1e3);
  }
};

// One round: the road through the nodes, and the docker CLI's build and run of the same folder.
struct Round {
  std::vector<bench::Stretch> road;
  double docker_build = 0;
  double docker_run = 0;
};

// The rounds so far, by stretch, by share and whole.
class Tally {
 public:
  void add(const Round& round) {
    std::map<bench::Share, double> shares;
    double total = 0;
    for (const bench::Stretch& stretch : round.road) {
      if (stretches_.emplace(stretch.name, Figures{}).second) order_.push_back(stretch);
      stretches_[stretch.name].values.push_back(stretch.seconds);
      shares[stretch.share] += stretch.seconds;
      total += stretch.seconds;
    }
    for (const auto& [share, seconds] : shares) shares_[share].values.push_back(seconds);
    road_.values.push_back(total);
    docker_build_.values.push_back(round.docker_build);
    docker_run_.values.push_back(round.docker_run);
    docker_.values.push_back(round.docker_build + round.docker_run);
    std::printf(
        "round %2zu: %5.0f ms (poll waits %4.0f, engine %4.0f, transfers %3.0f, status "
        "reports %3.0f, node %3.0f)  docker build %4.0f + run %4.0f ms\n",
        road_.values.size(), total * 1e3, shares[bench::Share::poll_wait] * 1e3,
        shares[bench::Share::engine] * 1e3, shares[bench::Share::transfer] * 1e3,
        shares[bench::Share::status_report] * 1e3, shares[bench::Share::node] * 1e3,
        round.docker_build * 1e3, round.docker_run * 1e3);
    std::fflush(stdout);
  }

  void print() const {
    std::printf("\n%zu rounds, median (range). The stretches of the road, which add up to it:\n",
                road_.values.size());
    for (const bench::Stretch& stretch : order_)
      stretches_.at(stretch.name)
          .print(stretch.name + " [" + bench::share_name(stretch.share) + "]");
    std::printf("Its shares:\n");
    for (const auto& [share, figures] : shares_) figures.print(bench::share_name(share));
    std::printf("Whole:\n");
    road_.print("round trip through the nodes");
    docker_build_.print("docker build");
    docker_run_.print("docker run");
    docker_.print("docker build + docker run");
  }

 private:
  std::vector<bench::Stretch> order_;  // the first round's stretches, for their names and shares
  std::map<std::string, Figures> stretches_;
  std::map<bench::Share, Figures> shares_;
  Figures road_, docker_build_, docker_run_, docker_;
};

// The session's two nodes, friends, and what the bench sees of the road between them.
struct Road {
  Road(Fakes& fakes, const fs::path& folder)
      : alice(fakes.node(folder, "alice")), bob(fakes.node(folder, "bob")) {
    bob->ask("declare_friend " + alice->id_hex());
    if (!testing::eventually([&] {
          return testing::file_content(alice->folder() / "accepted_requests.bin").find(bob->id()) !=
                 std::string::npos;
        }))
      throw utils::RuntimeError("alice's node did not take in bob's friendship");
    marks = std::make_unique<bench::RoadMarks>(
        fakes.backend.server(),
        std::vector<bench::WatchedFolder>{{bob->node_temp_dir(), bench::kReceiverTemp},
                                          {alice->folder() / "results", bench::kSenderResults}});
  }

  // Sends job from alice to bob and waits for alice's launch to complete: its stretches. The
  // job's image goes to janitor.
  std::vector<bench::Stretch> travel(const fs::path& job, testing::EngineJanitor& janitor) {
    bench::RoadRun run;
    run.sender = alice->id();
    run.receiver = bob->id();
    const std::size_t seen_before = marks->marks().size();
    run.sent_at = now();
    const std::string job_id = alice->ask("send " + bob->id_hex() + " " + job.string());
    janitor.image(boxwright::sanitize_tag(kJobName, job_id));
    run.results_name = std::string(kJobName) + "_" + job_id;
    const bool complete = testing::eventually(
        [&] { return alice->ask("launch " + job_id).at("status") == "Complete"; }, 120s);
    if (!complete) throw utils::RuntimeError("job " + job_id + " did not complete within 120 s");
    run.landing_statuses = status_times(bob->ask("landing " + job_id));
    const std::vector<bench::Mark> seen = marks->marks();
    run.marks.assign(seen.begin() + static_cast<std::ptrdiff_t>(seen_before), seen.end());
    return bench::split_round_trip(run);
  }

  std::unique_ptr<testing::HarnessedNode> alice;
  std::unique_ptr<testing::HarnessedNode> bob;
  std::unique_ptr<bench::RoadMarks> marks;  // last: stops watching before the nodes go
};

// Seconds that the docker CLI takes with args; RuntimeError when it fails.
double docker_cli_seconds(const std::vector<std::string>& args) {
  const double start = now();
  if (!testing::run_docker_cli(args)) throw utils::RuntimeError("docker " + args[0] + " failed");
  return now() - start;
}

// Sends a job from alice to bob round after round, each beside the docker CLI, and prints the
// figures. The images and containers it makes go to janitor.
void measure(int rounds, const std::string& session, const fs::path& folder, Fakes& fakes,
             testing::EngineJanitor& janitor) {
  Road road(fakes, folder);
  Tally tally;
  for (int n = 1; n <= rounds; ++n) {
    const std::string label =
        "velmora.round-trip=" + session + " velmora.round=" + std::to_string(n);
    const fs::path jobs = folder / "jobs" / std::to_string(n);
    Round round;
    round.road = road.travel(job_folder(jobs / "node" / kJobName, label + "-node"), janitor);

    const std::string cli_name = "velmora-round-trip-" + session + "-" + std::to_string(n);
    const std::string tag = janitor.image(cli_name + ":cli");
    const fs::path cli_job = job_folder(jobs / "cli" / kJobName, label + "-cli");
    round.docker_build = docker_cli_seconds({"build", "-q", "-t", tag, cli_job.string()});
    round.docker_run = docker_cli_seconds({"run", "--name", janitor.container(cli_name), tag});
    tally.add(round);
  }
  tally.print();
}

}  // namespace

int main(int argc, char** argv) try {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (rounds < 1) throw utils::ValueError("the number of rounds must be positive");
  const std::string session = random_word();
  const testing::ScopedFolder folder("velmora-round-trip-");
  Fakes fakes(folder.path());
  const auto engine = boxwright::engine::EngineClient::from_env();
  testing::EngineJanitor janitor(engine);
  int status = 0;
  try {
    measure(rounds, session, folder.path(), fakes, janitor);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "round_trip_bench: %s\n", e.what());
    status = 1;
  }
  // The nodes have ended: a container of the session's images that is left goes too.
  for (const utils::Value& left :
       engine.list_containers({{"label", "velmora.round-trip=" + session}}, true))
    janitor.container(left.at("Id").get<std::string>());
  return status;
} catch (const std::exception& e) {
  std::fprintf(stderr, "round_trip_bench: %s\n", e.what());
  return 1;
}
