// Signed requests per second against the fake backend on loopback, one and eight threads. Built
// together with sealcraft_bench.cpp, so one run also gives the raw signing rate to compare with.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/networking/network.hpp"

namespace {

using namespace velmora;

// The fakes, the node's device and its client, made once for the whole run.
struct Setting {
  testing::ScopedFolder folder;
  testing::TlsFiles tls =
      testing::make_self_signed_certificate(folder.path(), "fakes", testing::TlsKey::ec_p256);
  bool trusted = ::setenv("VELMORA_CA_FILE", tls.cert.c_str(), 1) == 0;
  testing::FakeIdentityProvider idp{tls};
  testing::FakeBackend backend{tls};
  std::shared_ptr<device::LocalDevice> device;
  std::unique_ptr<networking::Network> network;

  Setting() {
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

Setting& setting() {
  static Setting instance;
  return instance;
}

// A status report: the device's profile with "status_type" written into it.
void BM_SignedRequest(benchmark::State& state) {
  auto& network = *setting().network;
  const utils::Value request = network.local_device()->update_info({{"status_type", "ONLINE"}});
  for (auto _ : state) benchmark::DoNotOptimize(network._send_request("set_status", request));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignedRequest)->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace
