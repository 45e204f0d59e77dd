// Literal text writer and parser throughput, in bytes of literal text per second, on the mappings
// of bench/literal_inputs.json (the node's requests: a registration with and without its public
// key, a key text of 6 KB, texts beyond Latin-1), and the parser on large texts. Compare the
// writer with Python's repr on the same inputs: bench/literal_vs_repr.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/literal_parser.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace {

using velmora::utils::Value;

Value inputs() {
  std::ifstream in(VELMORA_LITERAL_INPUTS);
  std::stringstream text;
  text << in.rdbuf();
  return velmora::utils::parse_json(text.str());
}

void append_literal_text(benchmark::State& state, const Value& mapping) {
  std::string out;
  for (auto _ : state) {
    out.clear();
    velmora::utils::append_literal_text(out, mapping);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}

void parse_literal(benchmark::State& state, const Value& mapping) {
  const std::string text = velmora::utils::literal_text(mapping);
  for (auto _ : state) benchmark::DoNotOptimize(velmora::utils::parse_literal(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Texts whose size would show any work that grows faster than the input: many distinct keys,
// one key repeated, a long text, a float of many digits.
std::string large_text(int form) {
  constexpr int kMembers = 200000;
  std::string text = "{";
  switch (form) {
    case 0:
      for (int i = 0; i < kMembers; ++i)
        text += "'k" + std::to_string(i) + "': " + std::to_string(i) + ", ";
      return text + "}";
    case 1:
      for (int i = 0; i < kMembers; ++i) text += "'k': " + std::to_string(i) + ", ";
      return text + "}";
    case 2:
      return std::string("'") + std::string(10'000'000, 'x') + "'";
    default:
      return std::string("0.") + std::string(1'000'000, '3');
  }
}

void BM_ParseLargeLiteral(benchmark::State& state) {
  const std::string text = large_text(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(velmora::utils::parse_literal(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  static const char* const kLabels[] = {"200k distinct keys", "one key 200k times",
                                        "10 MB text", "float of 1M digits"};
  state.SetLabel(kLabels[state.range(0)]);
}
BENCHMARK(BM_ParseLargeLiteral)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// One writer and one parser benchmark per input, named after it.
const bool registered = [] {
  static const Value cases = inputs();
  for (const auto& [name, mapping] : cases.items()) {
    benchmark::RegisterBenchmark(("BM_AppendLiteralText/" + name).c_str(), append_literal_text,
                                 mapping);
    benchmark::RegisterBenchmark(("BM_ParseLiteral/" + name).c_str(), parse_literal, mapping);
  }
  return true;
}();

}  // namespace
