// The node's own cost of one landing: a busybox job that exits at once, from the Lander's
// construction to send_results returning. Its six packages (four status reports, the results and
// the final status) go through the fake backend on loopback; the engine is the one at
// DOCKER_HOST. Beside it, in turn within each iteration, the docker CLI does the same with the
// same folder: build, run (which waits for the exit), cp of what the job made, rm. Both build the
// same folder, so both meet the engine's build cache alike. The wait for the exit asks the engine
// again and again, without a timer, as `docker run` waits on its attached container.
//
// Compare the counters node_ms and cli_ms (wall time per landing) and their ratio node_per_cli.
// The fakes run in this process, so the CPU column holds the backend's work too.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "testing/docker_cli.hpp"
#include "testing/engine_janitor.hpp"
#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/job_folder.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/job/lander.hpp"
#include "velmora/networking/network_error.hpp"

namespace {

using namespace velmora;

constexpr const char* kOwnerId = "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c";
constexpr const char* kLandingId = "9c8d7e6f-5a4b-4c3d-8e2f-1a0b9c8d7e6f";

// The fakes, the job's two nodes and the job folder; what the run made goes when it ends.
struct Setting {
  testing::ScopedFolder folder{"velmora-bench-"};
  testing::TlsFiles tls = trusted(folder);
  testing::FakeIdentityProvider idp{tls};
  testing::FakeBackend backend{tls};
  std::shared_ptr<networking::Network> owner = node(kOwnerId);
  std::shared_ptr<networking::Network> landing = node(kLandingId);
  testing::ScopedFolder job = testing::make_job_folder(
      "FROM scratch\nLABEL velmora.bench=landing\nCOPY busybox /bin/busybox\n"
      "CMD [\"/bin/busybox\", \"sh\", \"-c\", \"echo hello; echo made > /result.txt\"]\n");
  boxwright::engine::EngineClient engine = boxwright::engine::EngineClient::from_env();
  testing::EngineJanitor janitor{engine};

  static testing::TlsFiles trusted(const testing::ScopedFolder& folder) {
    testing::TlsFiles files = testing::make_self_signed_certificate(folder.path(), "fakes",
                                                                    testing::TlsKey::ec_p256);
    ::setenv("VELMORA_CA_FILE", files.cert.c_str(), 1);
    return files;
  }

  std::shared_ptr<networking::Network> node(const char* id) {
    const auto [private_key, public_key] = sealcraft::make_keys();
    idp.set_refresh_token("refresh", "access");
    idp.set_user("access", "ada");
    backend.set_device_key(id, public_key);
    return std::make_shared<networking::Network>(
        backend.url(), "refresh",
        std::make_shared<device::LocalDevice>(utils::Bytes(std::string_view(id)), public_key,
                                              private_key),
        idp.url());
  }

  // Takes what reached the owner, so the backend's queue stays short.
  void drain_owner() {
    for (;;) {
      try {
        const networking::ReceivedPackage package = owner->recv_pkg();
        if (package.attachment) std::filesystem::remove_all(*package.attachment);
      } catch (const networking::ValidityError&) {
        return;
      }
    }
  }
};

Setting& setting() {
  static Setting made;
  return made;
}

// One landing through the node, from the Lander's construction to send_results returning.
void land_once(Setting& s, std::string& image) {
  const auto landing = std::make_shared<job::Lander>(s.job.path(), "Bench Job", kOwnerId,
                                                     kLandingId, s.landing, job::Job::_make_id());
  landing->run();
  while (s.engine.inspect_container(*landing->cntr_id())["State"]["Status"] != "exited") {
  }
  landing->send_results();
  if (image.empty()) image = s.janitor.image(*landing->img_id());
}

// The same job by the CLI: build, run (attached: it waits for the exit), cp, rm.
bool cli_once(Setting& s, int run) {
  const std::string tag = "velmora-bench-cli:latest";
  const std::string name = "velmora-bench-cli-" + std::to_string(run);
  const std::string copy = (s.folder.path() / ("result-" + std::to_string(run))).string();
  return testing::run_docker_cli({"build", "-q", "-t", tag, s.job.path().string()}) &&
         testing::run_docker_cli({"run", "--name", name, tag}) &&
         testing::run_docker_cli({"cp", name + ":/result.txt", copy}) &&
         testing::run_docker_cli({"rm", name});
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Each iteration lands the job once through the node and once through the CLI, in turn, so both
// meet the same load of a shared machine. The counters give each one's wall time per landing.
void BM_LandingBesideDockerCli(benchmark::State& state) {
  Setting& s = setting();
  std::string image;
  double node_ms = 0;
  double cli_ms = 0;
  int run = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    land_once(s, image);
    node_ms += milliseconds_since(start);
    start = std::chrono::steady_clock::now();
    const bool cli_ran = cli_once(s, ++run);
    cli_ms += milliseconds_since(start);
    if (!cli_ran) {
      state.SkipWithError("the docker CLI failed");
      break;
    }
    state.PauseTiming();
    s.drain_owner();
    state.ResumeTiming();
  }
  state.counters["node_ms"] = benchmark::Counter(node_ms, benchmark::Counter::kAvgIterations);
  state.counters["cli_ms"] = benchmark::Counter(cli_ms, benchmark::Counter::kAvgIterations);
  state.counters["node_per_cli"] = node_ms / cli_ms;
  try {
    s.janitor.image(s.engine.inspect_image("velmora-bench-cli:latest")["Id"].get<std::string>());
  } catch (const std::exception&) {
  }
}
BENCHMARK(BM_LandingBesideDockerCli)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(3)
    ->UseRealTime();

}  // namespace
