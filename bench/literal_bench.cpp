// Literal text writer and parser throughput, in bytes of literal text per second, on request
// mappings like the ones the node signs: a registration with and without the public key member
// (b2s of 294 DER bytes, about half of them escaped).
#include <benchmark/benchmark.h>

#include <random>

#include "velmora/utils/bytes.hpp"
#include "velmora/utils/text/literal_parser.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace {

using velmora::utils::Value;

Value registration(bool with_public_key) {
  Value info = Value::parse(R"({
    "address": "192.0.2.7", "client_version": "0.1.0", "curve_key": "To_Do", "ed_key": "To_Do",
    "groupid": "0", "hostname": "node-a.example", "one_time_keys": [], "password": "quokka5",
    "profile": {"cpu": {"cores": 8, "model": "x86_64"}, "gpus": [], "memory": 25769803776,
                "os": "Linux", "load": 0.25},
    "status_type": "ONLINE", "username": "ada@example.org",
    "uuid": "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c"})");
  if (with_public_key) {
    std::mt19937 random(7);
    std::string der(294, '\0');
    for (char& c : der) c = static_cast<char>(random());
    info["public_key"] = velmora::utils::b2s(velmora::utils::Bytes(der));
  }
  return info;
}

void label(benchmark::State& state) {
  state.SetLabel(state.range(0) ? "registration with public key" : "registration");
}

void BM_AppendLiteralText(benchmark::State& state) {
  const Value mapping = registration(state.range(0) != 0);
  std::string out;
  for (auto _ : state) {
    out.clear();
    velmora::utils::append_literal_text(out, mapping);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
  label(state);
}
BENCHMARK(BM_AppendLiteralText)->Arg(0)->Arg(1);

void BM_LiteralText(benchmark::State& state) {
  const Value mapping = registration(state.range(0) != 0);
  const std::size_t size = velmora::utils::literal_text(mapping).size();
  for (auto _ : state) benchmark::DoNotOptimize(velmora::utils::literal_text(mapping));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  label(state);
}
BENCHMARK(BM_LiteralText)->Arg(0)->Arg(1);

void BM_ParseLiteral(benchmark::State& state) {
  const std::string text = velmora::utils::literal_text(registration(state.range(0) != 0));
  for (auto _ : state) benchmark::DoNotOptimize(velmora::utils::parse_literal(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  label(state);
}
BENCHMARK(BM_ParseLiteral)->Arg(0)->Arg(1);

}  // namespace
