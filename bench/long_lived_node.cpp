#include "bench/long_lived_node.hpp"

#include <fstream>

#include "testing/device_list_answer.hpp"
#include "velmora/job/lander.hpp"
#include "velmora/job/launcher.hpp"
#include "velmora/utils/stores/pickled_object.hpp"

namespace velmora::bench {
namespace {

constexpr const char* kOtherDevice = "9c8d7e6f-5a4b-4c3d-8e2f-1a0b9c8d7e6f";

void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace

std::shared_ptr<const sealcraft::PublicKey> write_node_identity(const std::filesystem::path& work,
                                                                const std::string& node_id) {
  const auto [private_key, public_key] = sealcraft::make_keys();
  write_file(work / "priv.key", private_key->export_().view());
  write_file(work / "pub.key", public_key->export_().view());
  write_file(work / "mid.bin", node_id);
  return public_key;
}

void write_job_stores(const std::filesystem::path& work, const std::string& node_id, int launches,
                      int landings) {
  job::Launches launch_records;
  for (int i = 0; i < launches; ++i) {
    auto launch = std::make_shared<job::Launcher>("/home/ada/jobs/render-scene", "render-scene",
                                                  node_id, kOtherDevice, nullptr);
    for (const char* status :
         {"Sent", "Received", "Building Image", "Building Container", "Running", "Complete"})
      launch->set_status(status);
    launch->set_results_path("results/render-scene_" + launch->id());
    launch_records.insert_or_assign(launch->id(), launch);
  }
  job::Landings landing_records;
  for (int i = 0; i < landings; ++i) {
    auto landing = std::make_shared<job::Lander>("/tmp/job", "simulate", kOtherDevice, node_id,
                                                 nullptr, std::nullopt, false);
    for (const char* status :
         {"Received", "Building Image", "Building Container", "Running", "Complete"})
      landing->set_status(status);
    landing->set_img({"sha256:" + std::string(64, 'a')});
    landing->set_cntr({std::string(64, 'c'), "quirky_name"});
    landing_records.insert_or_assign(landing->id(), landing);
  }
  utils::PickledObject<job::Launches>(work / "launches.bin", [&] { return launch_records; });
  utils::PickledObject<job::Landings>(work / "landings.bin", [&] { return landing_records; });
}

void keep_listing_devices(testing::FakeBackend& backend, int devices, int& scripted) {
  const std::string& answer = testing::device_list_answer(devices);
  while (scripted < backend.server().calls("/list/users") + 4) {
    backend.server().script("/list/users", {200, answer});
    ++scripted;
  }
}

}  // namespace velmora::bench
