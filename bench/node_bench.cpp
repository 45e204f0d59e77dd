// The node object at scale, in one run:
// - built over stores of 10,000 launches and 10,000 landings: wall and CPU time of the
//   construction, three rounds each in a fresh process as a starting daemon is (medians), beside
//   the floor of simdjson reading the two store files whole in the same way, and a backend client
//   alone (the only network part of it); then built in this process, and the resident memory it
//   adds;
// - idle, its update threads started at the default intervals against a fake backend that lists
//   10,000 devices: CPU time of this process per second of wall time.
// The fakes run in a child process of their own, so that only the node's own work is counted.
//   node_bench [idle-seconds]   (default 60; the engine at DOCKER_HOST serves the container poll)
#include <malloc.h>
#include <simdjson.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/long_lived_node.hpp"
#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/model/velmora.hpp"

namespace {

namespace fs = std::filesystem;
using namespace velmora;

constexpr int kRecords = 10'000;
constexpr int kDevices = 10'000;
constexpr int kRounds = 3;
constexpr const char* kNodeId = "5d1c7e2a-0b9f-4e83-a6d4-c3f2e1b0a987";

double cpu_seconds() {
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(self.ru_utime) + seconds(self.ru_stime);
}

double resident_megabytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024;
  return 0;
}

struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpu_seconds();
  double wall_seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  }
  double cpu_used() const { return cpu_seconds() - cpu; }
};

// Wall and CPU seconds of one round.
struct Figures {
  double wall = 0;
  double cpu = 0;
};

Figures timed(const std::function<void()>& work) {
  const Timer round;
  work();
  return {round.wall_seconds(), round.cpu_used()};
}

// Runs work in a child process, which starts as a daemon does, with none of the stores' text
// or records in its memory; answers what the work took there.
Figures in_fresh_process(const std::function<void()>& work) {
  int figures[2];
  if (::pipe(figures) != 0) std::exit(1);
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    const Figures taken = timed(work);
    std::fflush(stdout);
    std::_Exit(::write(figures[1], &taken, sizeof taken) == sizeof taken ? 0 : 1);
  }
  ::close(figures[1]);
  Figures taken;
  const bool read = ::read(figures[0], &taken, sizeof taken) == sizeof taken;
  ::close(figures[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!read || status != 0) std::exit(1);
  return taken;
}

// The medians of kRounds rounds of round().
Figures median_of_rounds(const std::function<Figures()>& round) {
  std::vector<double> walls, cpus;
  for (int i = 0; i < kRounds; ++i) {
    const Figures taken = round();
    walls.push_back(taken.wall);
    cpus.push_back(taken.cpu);
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  return {walls[kRounds / 2], cpus[kRounds / 2]};
}

void print_beside_floor(const char* what, const Figures& floor, const Figures& built) {
  std::printf("%s: floor (simdjson reading both stores whole) %6.1f ms wall %6.1f ms CPU; node "
              "construction %6.1f ms wall %6.1f ms CPU, %.1fx the floor\n",
              what, floor.wall * 1e3, floor.cpu * 1e3, built.wall * 1e3, built.cpu * 1e3,
              built.wall / floor.wall);
}

// The floor of loading the job stores: simdjson reads both files whole.
void read_stores_whole(const fs::path& work) {
  simdjson::dom::parser parser;
  std::size_t entries = 0;
  for (const char* name : {"launches.bin", "landings.bin"}) {
    const simdjson::padded_string text = simdjson::padded_string::load((work / name).string());
    simdjson::dom::array list;
    if (parser.parse(text).get(list)) std::_Exit(1);
    entries += list.size();
  }
  if (entries != 2 * kRecords) std::_Exit(1);
}

// The fakes, until the parent closes its end of `parent`: the identity provider and a backend
// that knows the node's key and lists kDevices devices to every device-list request. Writes the
// two URLs to `urls`, and at the end how often each poll's request came.
[[noreturn]] void serve_fakes(const fs::path& folder, int urls, int parent) {
  const testing::TlsFiles tls =
      testing::make_self_signed_certificate(folder, "fakes", testing::TlsKey::ec_p256);
  testing::FakeIdentityProvider idp(tls);
  testing::FakeBackend backend(tls);
  idp.set_refresh_token("refresh", "access");
  idp.set_user("access", "ada");
  std::ifstream key_file(folder / "work" / "pub.key", std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(key_file)), {});
  backend.set_device_key(kNodeId, sealcraft::PublicKey::import_key(utils::Bytes(der)));
  int scripted = 0;
  const std::string line = backend.url() + " " + idp.url() + "\n";
  if (::write(urls, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(1);
  for (;;) {
    bench::keep_listing_devices(backend, kDevices, scripted);
    pollfd wait{parent, POLLIN, 0};
    if (::poll(&wait, 1, 100) > 0) break;  // the parent's end closed
  }
  std::printf("requests: %d device list, %d package fetch, %d status\n",
              backend.server().calls("/list/users"),
              backend.server().calls("/transfer/receivefilereq"),
              backend.server().calls("/lobby/selfstatus"));
  std::fflush(stdout);
  std::_Exit(0);
}

// The stores a long-lived node holds, written by a child process, so that this process's memory
// is the node's alone.
void write_stores(const fs::path& work) {
  const pid_t child = ::fork();
  if (child == 0) {
    bench::write_job_stores(work, kNodeId, kRecords, kRecords);
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (status != 0) std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int idle_seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const testing::ScopedFolder folder("velmora-node-bench-");
  const fs::path work = folder.path() / "work";
  fs::create_directory(work);
  bench::write_node_identity(work, kNodeId);
  write_stores(work);
  std::printf("stores: launches.bin %.1f MB, landings.bin %.1f MB\n",
              fs::file_size(work / "launches.bin") / 1e6,
              fs::file_size(work / "landings.bin") / 1e6);

  int urls[2], parent[2];
  if (::pipe(urls) != 0 || ::pipe(parent) != 0) return 1;
  std::fflush(stdout);
  const pid_t fakes = ::fork();
  if (fakes == 0) {
    ::close(parent[1]);
    serve_fakes(folder.path(), urls[1], parent[0]);
  }
  ::close(parent[0]);
  char buffer[512] = {};
  if (::read(urls[0], buffer, sizeof buffer - 1) <= 0) return 1;
  char backend_url[256], idp_url[256];
  if (std::sscanf(buffer, "%255s %255s", backend_url, idp_url) != 2) return 1;
  ::setenv("VELMORA_CA_FILE", (folder.path() / "fakes.crt").c_str(), 1);
  fs::current_path(work);

  model::NodeSettings settings;
  settings.log_level = "warning";
  settings.backend_url = backend_url;
  {
    const auto keys = sealcraft::make_keys();
    const auto device = std::make_shared<device::LocalDevice>(
        utils::Bytes(std::string_view(kNodeId)), keys.second, keys.first);
    networking::Network warm(backend_url, "refresh", device, idp_url);
    const Timer network;
    networking::Network alone(backend_url, "refresh", device, idp_url);
    std::printf("backend client alone:  %7.1f ms wall %7.1f ms CPU\n", network.wall_seconds() * 1e3,
                network.cpu_used() * 1e3);
  }

  const auto read_floor = [&] { read_stores_whole(work); };
  std::unique_ptr<model::Velmora> built;  // destroyed outside the rounds' time
  const auto build_node = [&] {
    built = std::make_unique<model::Velmora>("refresh", settings, 30, idp_url);
  };
  // Each round in a fresh process: what a starting daemon pays, page faults of fresh memory
  // included (dear on a virtual machine).
  print_beside_floor("fresh process, median of 3",
                     median_of_rounds([&] { return in_fresh_process(read_floor); }),
                     median_of_rounds([&] { return in_fresh_process(build_node); }));
  // In one process whose allocator keeps freed memory, after a round of each to warm it: the
  // work itself.
  in_fresh_process([&] {
    ::mallopt(M_MMAP_THRESHOLD, 1 << 30);
    ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
    timed(read_floor);
    const Figures floor = median_of_rounds([&] { return timed(read_floor); });
    timed(build_node);
    print_beside_floor("memory kept, median of 3", floor, median_of_rounds([&] {
                         built.reset();
                         return timed(build_node);
                       }));
  });

  const double resident_before = resident_megabytes();
  const Timer construction;
  model::Velmora node("refresh", settings, 30, idp_url);
  std::printf("node construction, this process: %7.1f ms wall %7.1f ms CPU\n",
              construction.wall_seconds() * 1e3, construction.cpu_used() * 1e3);
  const double resident_after = resident_megabytes();
  ::malloc_trim(0);  // what the allocator kept of the stores' parsed text goes back
  std::printf("resident memory: %.1f MB before, %.1f MB after (+%.1f MB), %.1f MB once the "
              "allocator has returned what is free; engine %s\n",
              resident_before, resident_after, resident_after - resident_before,
              resident_megabytes(),
              node.docker_is_running() ? "answered, four polls" : "did not answer, three polls");

  node.start_threads();
  std::this_thread::sleep_for(std::chrono::seconds(5));  // the first device list read whole
  // The resident size after a minute of polls, then every ten minutes, and at the end.
  const Timer idle;
  for (int elapsed = 0; elapsed < idle_seconds;) {
    const int next = std::min(idle_seconds, elapsed < 60 ? 60 : elapsed + 600);
    std::this_thread::sleep_for(std::chrono::seconds(next - elapsed));
    elapsed = next;
    std::printf("idle, %d s: %.2f s CPU, %.2f%% of one core; resident memory %.1f MB\n", elapsed,
                idle.cpu_used(), 100 * idle.cpu_used() / idle.wall_seconds(),
                resident_megabytes());
    std::fflush(stdout);
  }
  node.kill_threads();
  ::close(parent[1]);
  int status = 0;
  ::waitpid(fakes, &status, 0);
  return 0;
}
