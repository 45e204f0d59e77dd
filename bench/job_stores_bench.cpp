// dump of the node's launches store: written whole after every status change of any launch, so
// this is the cost of one change to a long job history. Beside it, in the same run, the file
// system's own cost for the same number of bytes: write, fsync, rename over the previous file.
// Then the stores of launches and landings read back, as a starting node reads them.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "velmora/job/lander.hpp"
#include "velmora/job/launcher.hpp"
#include "velmora/utils/stores/pickled_object.hpp"
#include "velmora/utils/temp_files.hpp"

namespace {

using velmora::job::Lander;
using velmora::job::Landings;
using velmora::job::Launcher;
using velmora::job::Launches;
using velmora::utils::PickledObject;

constexpr int kRecords = 10000;

// As large as a launch that ran to completion: nine statuses and its results folder.
Launches make_launches() {
  Launches launches;
  for (int i = 0; i < kRecords; ++i) {
    auto launch = std::make_shared<Launcher>(
        "/home/ada/jobs/render-scene", "render-scene", "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c",
        "9c8d7e6f-5a4b-4c3d-8e2f-1a0b9c8d7e6f", nullptr);
    for (const char* status : {"Sent", "Received", "Building Image", "Building Container",
                               "Running", "Pausing", "Unpausing", "Complete"})
      launch->set_status(status);
    launch->set_results_path("results/render-scene_" + launch->id());
    const std::string id = launch->id();
    launches.insert_or_assign(id, std::move(launch));
  }
  return launches;
}

// As large as a landing that ran to completion: its statuses, image and container.
Landings make_landings() {
  Landings landings;
  for (int i = 0; i < kRecords; ++i) {
    auto landing = std::make_shared<Lander>("/tmp/job", "simulate",
                                            "9c8d7e6f-5a4b-4c3d-8e2f-1a0b9c8d7e6f",
                                            "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c", nullptr,
                                            std::nullopt, false);
    for (const char* status :
         {"Received", "Building Image", "Building Container", "Running", "Complete"})
      landing->set_status(status);
    landing->set_img({"sha256:" + std::string(64, 'a')});
    landing->set_cntr({std::string(64, 'c'), "quirky_name"});
    const std::string id = landing->id();
    landings.insert_or_assign(id, std::move(landing));
  }
  return landings;
}

struct Folder {
  std::filesystem::path path =
      velmora::utils::make_temp_dir(velmora::utils::temp_directory(), "velmora-bench-");
  ~Folder() { std::filesystem::remove_all(path); }
};

// The size of the store file, once the first benchmark has written it.
std::uintmax_t store_bytes = 0;

// One launch changes, then the whole store is written, as the node does after a job update.
void BM_DumpLaunchesAfterOneChange(benchmark::State& state) {
  const Folder folder;
  PickledObject<Launches> store(folder.path / "launches.bin", make_launches);
  const auto changing = store.with([](Launches& launches) { return launches.begin()->second; });
  for (auto _ : state) {
    changing->set_status("Running");
    store.dump();
  }
  store_bytes = std::filesystem::file_size(folder.path / "launches.bin");
  state.counters["file_bytes"] = static_cast<double>(store_bytes);
}
BENCHMARK(BM_DumpLaunchesAfterOneChange)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same number of bytes without any encoding.
void BM_WriteSyncRenameSameBytes(benchmark::State& state) {
  const Folder folder;
  PickledObject<velmora::utils::Bytes> file(folder.path / "raw.bin", [] {
    return velmora::utils::Bytes(std::string(store_bytes, 'x'));
  });
  for (auto _ : state) file.dump();
  state.counters["file_bytes"] = static_cast<double>(store_bytes);
}
BENCHMARK(BM_WriteSyncRenameSameBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

// A store read back whole into its records, as a starting node reads it; each round also frees
// the records of the round before.
template <class Records>
void load_store(benchmark::State& state, Records (*make)()) {
  const Folder folder;
  const auto file = folder.path / "store.bin";
  PickledObject<Records>(file, make);
  for (auto _ : state) {
    const PickledObject<Records> store(file, make);
  }
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(file));
}
void BM_LoadLaunches(benchmark::State& state) { load_store(state, make_launches); }
BENCHMARK(BM_LoadLaunches)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_LoadLandings(benchmark::State& state) { load_store(state, make_landings); }
BENCHMARK(BM_LoadLandings)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
