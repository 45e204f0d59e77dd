// The job record itself: the id rule, the timed history, the listing form, and the history under
// many threads. No client and no engine is needed.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <regex>
#include <set>
#include <thread>

#include "velmora/job/job_status.hpp"
#include "velmora/job/lander.hpp"
#include "velmora/job/launcher.hpp"
#include "velmora/utils/result_json.hpp"

namespace velmora::job {
namespace {

using utils::Value;

std::shared_ptr<Launcher> launch(const std::optional<std::string>& id = std::nullopt,
                                 Clock clock = system_clock_seconds) {
  return std::make_shared<Launcher>("/data/sim.new", "sim", "owner-id", "receiver-id", nullptr, id,
                                    std::move(clock));
}

TEST(JobRecord, AnIdIsKeptWhenGivenAndMadeFreshWhenNoneOrEmpty) {
  const std::regex fresh("[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}");
  std::set<std::string> ids;
  for (const auto& given : std::vector<std::optional<std::string>>{std::nullopt, ""}) {
    for (int i = 0; i < 2; ++i) {
      const std::string id = launch(given)->id();
      EXPECT_TRUE(std::regex_match(id, fresh)) << id;
      ids.insert(id);
    }
  }
  EXPECT_EQ(ids.size(), 4u);
  for (const std::string kept : {"not-hex at all", "0123456789abcdef0123456789abcdef"})
    EXPECT_EQ(launch(kept)->id(), kept);
}

TEST(JobRecord, TheHistoryTimesEachWriteWithTheShortestTextThatReadsBack) {
  std::deque<double> readings = {1700000000.0, 1700000000.25, 0.1 + 0.2, 1700000000.25};
  const auto record = launch("job", [&] {
    const double now = readings.front();
    readings.pop_front();
    return now;
  });
  record->set_status("Running");
  record->set_status("Running");  // twice: two entries, even at the same moment
  record->set_status("outside the vocabulary");
  EXPECT_EQ(record->status_history(),
            (std::vector<StatusEntry>{{"New", "1700000000.0"},
                                      {"Running", "1700000000.25"},
                                      {"Running", "0.30000000000000004"},
                                      {"outside the vocabulary", "1700000000.25"}}));
  EXPECT_EQ(record->status(), "outside the vocabulary");
}

TEST(JobRecord, ListsItsFieldsAsTextsInTheirOrder) {
  const auto record = launch("job-1", [] { return 5.0; });
  record->set_status(status::kSent);
  const Value expected = {{"path", "/data/sim.new"},
                          {"name", "sim"},
                          {"owner", "owner-id"},
                          {"receiver", "receiver-id"},
                          {"id", "job-1"},
                          {"status", "Sent"},
                          {"status_history", Value::array({Value::array({"New", "5.0"}),
                                                           Value::array({"Sent", "5.0"})})},
                          {"results_path", "None"}};
  EXPECT_EQ(record->to_dict().dump(), expected.dump());  // the text compares the order too
  // Its text is kept while nothing changes, and follows every change.
  const auto text = record->dict_text();
  EXPECT_EQ(*text, utils::answer_json(expected));
  EXPECT_EQ(record->dict_text(), text);
  record->set_results_path("results/sim_job-1");
  EXPECT_EQ(record->to_dict()["results_path"], "results/sim_job-1");
  EXPECT_EQ(*record->dict_text(), utils::answer_json(record->to_dict()));
  record->set_status(status::kRunning);
  EXPECT_EQ(*record->dict_text(), utils::answer_json(record->to_dict()));

  const Lander landing("/tmp/job", "sim", "owner-id", "receiver-id", nullptr, "job-1", false,
                       [] { return 5.0; });
  Value landing_dict = expected;
  landing_dict.erase("results_path");
  landing_dict["status"] = "New";
  landing_dict["status_history"] = Value::array({Value::array({"New", "5.0"})});
  landing_dict["path"] = "/tmp/job";
  EXPECT_EQ(landing.to_dict().dump(), landing_dict.dump());
}

TEST(JobRecord, ManyThreadsAppendWhileOthersRead) {
  const auto record = launch("job");
  constexpr int kWriters = 8;
  constexpr int kWrites = 200;
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r)
    readers.emplace_back([&] {
      utils::JsonWriter sink([](std::string_view) {});
      while (!done) {
        EXPECT_FALSE(record->status().empty());
        EXPECT_GE(record->to_dict()["status_history"].size(), 1u);
        EXPECT_FALSE(record->dict_text()->empty());
        record->get_state(sink);
      }
    });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < kWrites; ++i)
        record->set_status(std::to_string(w) + ":" + std::to_string(i));
    });
  for (auto& writer : writers) writer.join();
  done = true;
  for (auto& reader : readers) reader.join();

  const auto history = record->status_history();
  ASSERT_EQ(history.size(), 1u + kWriters * kWrites);
  EXPECT_EQ(*record->dict_text(), utils::answer_json(record->to_dict())) << "no stale text kept";
  std::vector<int> next(kWriters, 0);  // each writer's entries come in its own order
  for (std::size_t i = 1; i < history.size(); ++i) {
    const std::string& status = history[i].first;
    const int writer = std::stoi(status.substr(0, status.find(':')));
    EXPECT_EQ(status, std::to_string(writer) + ":" + std::to_string(next[writer]++));
  }
}

}  // namespace
}  // namespace velmora::job
