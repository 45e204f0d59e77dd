// Signed requests per second against the fake backend on loopback, one and eight threads, with the
// backend's certificate on an EC and on an RSA key (the fake keeps a connection for 1,000
// requests, as a real backend does); the CPU column is the client thread's own, without the fake's
// work. Built together with sealcraft_bench.cpp, so one run also gives the raw signing rate to
// compare with. Then a large answer fetched beside curl, the device-list poll's update_devices over
// lists of up to 30,000 devices served from memory, its parts, and the device table's memory.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>

#include <fstream>

#include "testing/background_server.hpp"
#include "testing/device_list_answer.hpp"
#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/networking/device_list.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/text/json_reader.hpp"

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

// A large answer held in memory: a GET of the device-list answer of n devices (10,000: 18 MB;
// 30,000: 54 MB) through http_exchange, beside curl fetching it from the same server. With
// storage kept, each fetch hands the last body back, as the device-list poll does; fresh, each
// lands in new memory. Both keep their connection: curl's row is its own time for the second of
// two fetches in one run.
// Serves the answers from where they lie, without copies, so that both clients wait alike.
struct AnswerServer {
  httplib::SSLServer server;
  std::unique_ptr<testing::BackgroundServer> running;
  std::string bundle = ::getenv("VELMORA_CA_FILE");

  explicit AnswerServer(const testing::TlsFiles& tls)
      : server(tls.cert.c_str(), tls.key.c_str()) {
    for (const int devices : {10'000, 30'000}) device_list_answer(devices);
    server.set_keep_alive_max_count(1000);
    server.Get("/([0-9]+)", [](const httplib::Request& request, httplib::Response& response) {
      const std::string& answer = device_list_answer(std::stoi(request.matches[1]));
      response.set_content_provider(
          answer.size(), "application/json",
          [&answer](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            return sink.write(answer.data() + offset, std::min<std::size_t>(length, 1 << 18));
          });
    });
    running = std::make_unique<testing::BackgroundServer>(&server);
  }
  std::string url(std::int64_t devices) const {
    return "https://127.0.0.1:" + std::to_string(running->port()) + "/" + std::to_string(devices);
  }
};

AnswerServer& answer_server() {
  static AnswerServer server(setting(testing::TlsKey::ec_p256).tls);
  return server;
}

long page_faults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt + usage.ru_majflt;
}

void BM_FetchAnswer(benchmark::State& state, bool keep_storage) {
  const std::string url = answer_server().url(state.range(0));
  std::string storage;
  long faults = 0;
  for (auto _ : state) {
    const long before = page_faults();
    utils::HttpResponse response =
        utils::http_exchange({.url = url, .body_storage = std::move(storage)});
    faults += page_faults() - before;
    if (keep_storage) storage = std::move(response.body);
  }
  state.counters["page_faults"] = benchmark::Counter(static_cast<double>(faults),
                                                     benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(device_list_answer(state.range(0)).size()));
}
BENCHMARK_CAPTURE(BM_FetchAnswer, storage_kept, true)->Arg(10'000)->Arg(30'000)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FetchAnswer, fresh, false)->Arg(10'000)->Arg(30'000)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FetchAnswerWithCurl(benchmark::State& state) {
  const std::string url = answer_server().url(state.range(0));
  const std::string command = "curl -sf --noproxy '*' --cacert '" + answer_server().bundle +
                              "' -o /dev/null -o /dev/null -w '%{time_total}\\n' '" + url +
                              "' '" + url + "'";
  for (auto _ : state) {
    FILE* curl = ::popen(command.c_str(), "r");
    double first = 0, second = 0;
    const bool read = curl && std::fscanf(curl, "%lf %lf", &first, &second) == 2;
    if (!curl || ::pclose(curl) != 0 || !read) {
      state.SkipWithError("curl failed");
      break;
    }
    state.SetIterationTime(second);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(device_list_answer(state.range(0)).size()));
}
BENCHMARK(BM_FetchAnswerWithCurl)->Arg(10'000)->Arg(30'000)->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// Its parts: reading the answer's JSON (into the reader's kept buffers), and building the table
// from it.
void BM_ParseDeviceListAnswer(benchmark::State& state) {
  std::string answer = device_list_answer(static_cast<int>(state.range(0)));
  utils::JsonReader reader;
  for (auto _ : state) benchmark::DoNotOptimize(reader.read(answer));
}
BENCHMARK(BM_ParseDeviceListAnswer)->Arg(10'000)->Unit(benchmark::kMillisecond);

// A first reading, and one after a reading of the same list (every device taken over).
void BM_ReadDeviceList(benchmark::State& state, bool read_before) {
  std::string answer = device_list_answer(static_cast<int>(state.range(0)));
  utils::JsonReader reader;
  const simdjson::dom::element users = reader.read(answer)["users_dict"];
  const networking::DeviceList before =
      read_before ? networking::read_device_list(users) : networking::DeviceList{};
  for (auto _ : state)
    benchmark::DoNotOptimize(networking::read_device_list(users, read_before ? &before : nullptr));
}
// The memory a table of n devices holds (what the allocator hands out for it, measured around
// one reading) beside the bytes of its own: ids, DER keys, profile texts and names.
void BM_DeviceTableMemory(benchmark::State& state) {
  std::string answer = device_list_answer(static_cast<int>(state.range(0)));
  utils::JsonReader reader;
  const simdjson::dom::element users = reader.read(answer)["users_dict"];
  double own = 0;
  for (const simdjson::dom::element entry : simdjson::dom::array(users)) {
    own += static_cast<double>(
        std::string_view(entry["userid"]).size() + std::string_view(entry["name"]).size() +
        std::string_view(entry["profile"]).size() +
        utils::s2b(std::string_view(entry["public_key"])).size());
  }
  double held = 0;
  for (auto _ : state) {
    const std::size_t before = ::mallinfo2().uordblks;
    const networking::DeviceList list = networking::read_device_list(users);
    held = static_cast<double>(::mallinfo2().uordblks - before);
    benchmark::DoNotOptimize(list);
  }
  state.counters["table_MB"] = held / 1e6;
  state.counters["own_MB"] = own / 1e6;
  state.counters["ratio"] = held / own;
}
BENCHMARK(BM_DeviceTableMemory)->Arg(10'000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_ReadDeviceList, first, false)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadDeviceList, unchanged, true)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
