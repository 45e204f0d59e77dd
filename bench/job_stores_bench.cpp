// dump of the node's launches store: written whole after every status change of any launch, so
// this is the cost of one change to a long job history. Beside it, in the same run, the file
// system's own cost for the same number of bytes: write, fsync, rename over the previous file.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "velmora/job/launcher.hpp"
#include "velmora/utils/stores/pickled_object.hpp"
#include "velmora/utils/temp_files.hpp"

namespace {

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

}  // namespace
