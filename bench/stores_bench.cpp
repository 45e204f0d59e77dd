// dump of a store of job records: the node writes its launches or landings back after every
// change, so this is the cost of one change to a large history. Records that write their state
// straight into the store's text are compared with records that return it as a dynamic value.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

#include "velmora/utils/stores/pickled_object.hpp"
#include "velmora/utils/temp_files.hpp"

namespace {

using velmora::utils::JsonWriter;
using velmora::utils::OrderedDict;
using velmora::utils::PickledObject;
using velmora::utils::Value;

// As large as a launch that ran to completion: its paths, both device ids, its id and a status
// history of nine entries, guarded by its own mutex.
class JobRecordFields {
 public:
  explicit JobRecordFields(std::string id)
      : id_(std::move(id)), results_path_("results/" + name_ + "_" + id_) {
    for (const char* status : {"New", "Sent", "Received", "Building Image", "Building Container",
                               "Running", "Pausing", "Unpausing", "Complete"})
      history_.emplace_back(status, "1733822400.1234567");
  }

 protected:
  const std::string path_ = "/home/ada/jobs/render-scene";
  const std::string name_ = "render-scene";
  const std::string owner_ = "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c";
  const std::string receiver_ = "9c8d7e6f-5a4b-4c3d-8e2f-1a0b9c8d7e6f";
  const std::string id_;
  const std::string results_path_;
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> history_;
};

class WritingRecord : public JobRecordFields {
 public:
  using JobRecordFields::JobRecordFields;

  void get_state(JsonWriter& out) const {
    std::lock_guard lock(mutex_);
    out.begin_mapping();
    for (const auto& [key, text] : {std::pair{"path", &path_}, {"name", &name_},
                                    {"owner", &owner_}, {"receiver", &receiver_}, {"id", &id_}}) {
      out.key(key);
      out.text(*text);
    }
    out.key("status_history");
    out.begin_list();
    for (const auto& [status, time] : history_) {
      out.begin_list();
      out.text(status);
      out.text(time);
      out.end_list();
    }
    out.end_list();
    out.key("results_path");
    out.text(results_path_);
    out.end_mapping();
  }
  static std::shared_ptr<WritingRecord> from_state(const Value& state) {
    return std::make_shared<WritingRecord>(state.at("id").get<std::string>());
  }
};

class ValueRecord : public JobRecordFields {
 public:
  using JobRecordFields::JobRecordFields;

  Value get_state() const {
    std::lock_guard lock(mutex_);
    Value history = Value::array();
    for (const auto& [status, time] : history_) history.push_back(Value::array({status, time}));
    return {{"path", path_},         {"name", name_},
            {"owner", owner_},       {"receiver", receiver_},
            {"id", id_},             {"status_history", std::move(history)},
            {"results_path", results_path_}};
  }
  static std::shared_ptr<ValueRecord> from_state(const Value& state) {
    return std::make_shared<ValueRecord>(state.at("id").get<std::string>());
  }
};

template <class Record>
OrderedDict<std::string, std::shared_ptr<Record>> make_records(std::int64_t count) {
  OrderedDict<std::string, std::shared_ptr<Record>> records;
  for (std::int64_t i = 0; i < count; ++i) {
    char id[33];
    std::snprintf(id, sizeof id, "%032llx", static_cast<unsigned long long>(i) * 2654435761u);
    records.insert_or_assign(id, std::make_shared<Record>(id));
  }
  return records;
}

template <class Record>
void BM_DumpJobRecords(benchmark::State& state) {
  using Records = OrderedDict<std::string, std::shared_ptr<Record>>;
  const auto dir =
      velmora::utils::make_temp_dir(velmora::utils::temp_directory(), "storebench");
  PickledObject<Records> store(dir / "launches.bin",
                               [&] { return make_records<Record>(state.range(0)); });
  for (auto _ : state) store.dump();
  state.SetComplexityN(state.range(0));
  state.counters["file_bytes"] =
      static_cast<double>(std::filesystem::file_size(dir / "launches.bin"));
  std::filesystem::remove_all(dir);
}

// The same number of bytes without any encoding: what the file system alone costs (write, fsync,
// rename over the previous file).
void BM_DumpRawBytes(benchmark::State& state) {
  const auto dir =
      velmora::utils::make_temp_dir(velmora::utils::temp_directory(), "storebench");
  const auto size = static_cast<std::size_t>(state.range(0));
  PickledObject<velmora::utils::Bytes> store(
      dir / "mid.bin", [&] { return velmora::utils::Bytes(std::string(size, 'x')); });
  for (auto _ : state) store.dump();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_DumpRawBytes)->Arg(6370000)->Unit(benchmark::kMillisecond);

BENCHMARK_TEMPLATE(BM_DumpJobRecords, WritingRecord)
    ->Arg(1250)->Arg(2500)->Arg(5000)->Arg(10000)->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK_TEMPLATE(BM_DumpJobRecords, ValueRecord)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
