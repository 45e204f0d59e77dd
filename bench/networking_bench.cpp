// Signed requests per second against the fake backend on loopback, one and eight threads, with the
// backend's certificate on an EC and on an RSA key (the server signs once per TLS handshake, and
// every request opens its own connection). Built together with sealcraft_bench.cpp, so one run
// also gives the raw signing rate to compare with. Then the device-list poll's update_devices over
// lists of up to 30,000 devices served from memory, and its parts.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <fstream>

#include "testing/device_list_answer.hpp"
#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/networking/device_list.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace {

using namespace velmora;
using testing::device_list_answer;

// The fakes, the node's device and its client. Both settings share one trusted folder, so
// VELMORA_CA_FILE trusts the certificates of both.
struct Setting {
  testing::TlsFiles tls;
  testing::FakeIdentityProvider idp{tls};
  testing::FakeBackend backend{tls};
  std::shared_ptr<device::LocalDevice> device;
  std::unique_ptr<networking::Network> network;

  explicit Setting(testing::TlsFiles files) : tls(std::move(files)) {
    const auto [private_key, public_key] = sealcraft::make_keys();
    device = std::make_shared<device::LocalDevice>(
        utils::Bytes(std::string_view("3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c")), public_key,
        private_key);
    idp.set_refresh_token("refresh", "access");
    idp.set_user("access", "ada");
    backend.set_device_key(utils::b2s(device->uuid()), public_key);
    network = std::make_unique<networking::Network>(backend.url(), "refresh", device, idp.url());
  }
};

// Writes both certificates and one bundle of the two that VELMORA_CA_FILE names.
struct Certificates {
  testing::ScopedFolder folder;
  testing::TlsFiles ec =
      testing::make_self_signed_certificate(folder.path(), "ec", testing::TlsKey::ec_p256);
  testing::TlsFiles rsa =
      testing::make_self_signed_certificate(folder.path(), "rsa", testing::TlsKey::rsa2048);

  Certificates() {
    const auto bundle = folder.path() / "bundle.pem";
    std::filesystem::copy_file(ec.cert, bundle);
    std::ofstream(bundle, std::ios::app) << std::ifstream(rsa.cert).rdbuf();
    ::setenv("VELMORA_CA_FILE", bundle.c_str(), 1);
  }
};

Setting& setting(testing::TlsKey key) {
  static Certificates certificates;
  static Setting ec(certificates.ec);
  static Setting rsa(certificates.rsa);
  return key == testing::TlsKey::ec_p256 ? ec : rsa;
}

// A status report: the device's profile with "status_type" written into it.
void BM_SignedRequest(benchmark::State& state, testing::TlsKey key) {
  auto& network = *setting(key).network;
  const utils::Value request = network.local_device()->update_info({{"status_type", "ONLINE"}});
  for (auto _ : state) benchmark::DoNotOptimize(network._send_request("set_status", request));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_SignedRequest, ec_certificate, testing::TlsKey::ec_p256)
    ->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK_CAPTURE(BM_SignedRequest, rsa_certificate, testing::TlsKey::rsa2048)
    ->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(8)->UseRealTime();

// One pass of the device-list poll once the list has been read before: the signed request, then,
// for an answer that differs from the last one (one device's status changed), the answer read
// and the table swapped with every unchanged device taken over; an identical answer is not read
// at all. The CPU column is the calling thread's.
void BM_UpdateDevices(benchmark::State& state, bool changed) {
  auto& setting_ = setting(testing::TlsKey::ec_p256);
  const std::string& answer = device_list_answer(static_cast<int>(state.range(0)));
  std::string other = answer;  // device 0 is OFFLINE
  other.replace(other.find("\"OFFLINE\""), 9, "\"ONLINE\"");
  setting_.backend.server().script("/list/users", {200, answer});
  setting_.network->update_devices();
  bool flip = false;
  for (auto _ : state) {
    state.PauseTiming();
    flip = changed && !flip;
    setting_.backend.server().script("/list/users", {200, flip ? other : answer});
    state.ResumeTiming();
    setting_.network->update_devices();
  }
  state.SetComplexityN(state.range(0));
  state.counters["answer_MB"] = static_cast<double>(answer.size()) / 1e6;
}
BENCHMARK_CAPTURE(BM_UpdateDevices, changed, true)->Arg(1'000)->Arg(10'000)->Arg(30'000)
    ->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK_CAPTURE(BM_UpdateDevices, identical, false)->Arg(1'000)->Arg(10'000)->Arg(30'000)
    ->Unit(benchmark::kMillisecond)->Complexity();

// Its parts: reading the answer's JSON, and building the table from it.
void BM_ParseDeviceListAnswer(benchmark::State& state) {
  const std::string& answer = device_list_answer(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(utils::parse_json(answer));
}
BENCHMARK(BM_ParseDeviceListAnswer)->Arg(10'000)->Unit(benchmark::kMillisecond);

// A first reading, and one after a reading of the same list (every device taken over).
void BM_ReadDeviceList(benchmark::State& state, bool read_before) {
  const utils::Value users =
      utils::parse_json(device_list_answer(static_cast<int>(state.range(0))))["users_dict"];
  const networking::DeviceList before =
      read_before ? networking::read_device_list(users) : networking::DeviceList{};
  for (auto _ : state)
    benchmark::DoNotOptimize(networking::read_device_list(users, read_before ? &before : nullptr));
}
BENCHMARK_CAPTURE(BM_ReadDeviceList, first, false)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadDeviceList, unchanged, true)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
