// Result collection from a container that wrote 500 MB in 5,000 files under one folder, beside
// `docker cp` of that folder from the same container, in one run against the engine at
// DOCKER_HOST. The counters give the peak resident size of this process (collection runs in it)
// and of the docker CLI. Everything the run makes is removed at its end.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "testing/docker_cli.hpp"
#include "testing/engine_janitor.hpp"
#include "testing/eventually.hpp"
#include "testing/job_folder.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/results/result_collection.hpp"

namespace {

using namespace velmora;

constexpr int kFiles = 5000;
constexpr int kFileBytes = 100 * 1024;  // 5,000 files of 100 KiB: 500 MiB

// The exited container and what it wrote, made once; removed when the run ends.
struct Setting {
  boxwright::engine::EngineClient client = boxwright::engine::EngineClient::from_env();
  testing::EngineJanitor janitor{client};
  boxwright::Container container;

  Setting() {
    const auto job = testing::make_job_folder(
        "FROM scratch\nLABEL velmora.bench=results\nCOPY busybox /bin/busybox\n"
        "RUN [\"/bin/busybox\", \"--install\", \"-s\", \"/bin\"]\n");
    const std::string image =
        janitor.image(client.build_image(job.path(), {.forcerm = true, .nocache = true}).image_id);
    const std::string script = "mkdir /out; i=0; while [ $i -lt " + std::to_string(kFiles) +
                               " ]; do head -c " + std::to_string(kFileBytes) +
                               " /dev/zero > /out/file-$i; i=$((i+1)); done";
    const std::string id =
        janitor.container(client.create_container({{"Image", image},
                                                   {"Cmd", {"/bin/sh", "-c", script}},
                                                   {"HostConfig", {{"NetworkMode", "none"}}}}));
    client.start_container(id);
    if (!testing::eventually(
            [&] { return client.inspect_container(id)["State"]["Status"] == "exited"; },
            std::chrono::minutes(10)))
      throw std::runtime_error("the writing container did not end");
    container = boxwright::get_container(id);
  }
};

Setting& setting() {
  static Setting made;
  return made;
}

long peak_resident_kib(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_maxrss;
}

void BM_collect_results(benchmark::State& state) {
  const boxwright::Container& container = setting().container;
  const long before = peak_resident_kib(RUSAGE_SELF);
  for (auto _ : state) {
    state.PauseTiming();
    auto dest = std::make_unique<testing::ScopedFolder>("velmora-bench-");
    state.ResumeTiming();
    boxwright::collect_results(container, dest->path());
    state.PauseTiming();
    dest.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kFiles} * kFileBytes);
  state.counters["peak_rss_MiB"] = static_cast<double>(peak_resident_kib(RUSAGE_SELF)) / 1024;
  state.counters["peak_rss_before_MiB"] = static_cast<double>(before) / 1024;
}
BENCHMARK(BM_collect_results)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_docker_cp(benchmark::State& state) {
  const std::string source = setting().container.id + ":/out";
  for (auto _ : state) {
    state.PauseTiming();
    auto dest = std::make_unique<testing::ScopedFolder>("velmora-bench-");
    const std::string target = (dest->path() / "out").string();
    state.ResumeTiming();
    if (!testing::run_docker_cli({"cp", source, target})) {
      state.SkipWithError("docker cp failed");
      break;
    }
    state.PauseTiming();
    dest.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kFiles} * kFileBytes);
  state.counters["peak_rss_MiB"] = static_cast<double>(peak_resident_kib(RUSAGE_CHILDREN)) / 1024;
}
BENCHMARK(BM_docker_cp)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
