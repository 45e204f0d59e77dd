// Signatures per second of one 2048-bit key; compare with `openssl speed -seconds 3 rsa2048`.
#include <benchmark/benchmark.h>

#include "velmora/sealcraft/keys.hpp"

namespace {

using velmora::sealcraft::make_keys;
using velmora::utils::Bytes;

const auto& key_pair() {
  static const auto pair = make_keys();
  return pair;
}

// A typical signed request: the literal text of a registration mapping.
const Bytes& request_bytes() {
  static const Bytes data(std::string(
      "{'address': '192.0.2.7', 'client_version': '0.1.0', 'hostname': 'node-a', "
      "'public_key': '0\\x82\\x01\\n...', 'username': 'ada', "
      "'uuid': '3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c'}"));
  return data;
}

void BM_Sign(benchmark::State& state) {
  const auto& signer = *key_pair().first;
  for (auto _ : state) benchmark::DoNotOptimize(signer.sign(request_bytes()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sign)->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(8)->UseRealTime();

void BM_Verify(benchmark::State& state) {
  const auto& [signer, verifier] = key_pair();
  const Bytes signature = signer->sign(request_bytes());
  for (auto _ : state) benchmark::DoNotOptimize(verifier->verify(request_bytes(), signature));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Verify)->Unit(benchmark::kMicrosecond);

}  // namespace
