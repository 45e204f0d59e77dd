// Launches and landings in the node's stores: every field but the client is kept, a record read
// back sends nothing until it is bound, and then sends through the client it was bound to.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "job_fixture.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/utils/stores/pickled_object.hpp"

namespace velmora::job {
namespace {

using utils::PickledObject;

class StoredRecords : public JobFixture {
 protected:
  template <class Dict>
  std::unique_ptr<PickledObject<Dict>> open_store(const std::string& name, Dict initial = {}) {
    return std::make_unique<PickledObject<Dict>>(folder_.path() / name,
                                                 [&] { return std::move(initial); });
  }
  // The one record in the store file name, read back.
  template <class Dict>
  auto read_back(const std::string& name) {
    const Dict read = open_store<Dict>(name)->snapshot();
    EXPECT_EQ(read.size(), 1u);
    return read.begin()->second;
  }

  const std::filesystem::path job_ = folder_.path() / "sim.new";
};

TEST_F(StoredRecords, ALaunchComesBackWholeAndUnbound) {
  const auto launch = make_launcher(job_);
  launch->set_status("Running");
  auto store = open_store<Launches>("launches.bin", Launches{{launch->id(), launch}});

  const auto read = read_back<Launches>("launches.bin");
  EXPECT_EQ(read->to_dict(), launch->to_dict());
  EXPECT_EQ(read->path(), job_);
  EXPECT_EQ(read->network(), nullptr);

  // A change after a write reaches the next write: the kept stored form is made again.
  launch->set_results_path(folder_.path() / "results" / ("sim_" + launch->id()));
  launch->set_status("Complete");
  store->dump();
  EXPECT_EQ(read_back<Launches>("launches.bin")->to_dict(), launch->to_dict());
}

TEST_F(StoredRecords, ALandingComesBackWithItsEngineIdsAndSendsNothingOnLoad) {
  const auto landing = make_lander(job_);
  landing->set_img({"sha256:f00d"});
  landing->set_cntr({"c0ffee", "quirky_name"});
  EXPECT_EQ(packages_for(*launch_node_).size(), 1u);  // "Received", at construction only
  open_store<Landings>("landings.bin", Landings{{landing->id(), landing}});

  const auto read = read_back<Landings>("landings.bin");
  EXPECT_EQ(read->to_dict(), landing->to_dict());
  EXPECT_EQ(read->img_id(), "sha256:f00d");
  EXPECT_EQ(read->cntr_id(), "c0ffee");
  EXPECT_TRUE(packages_for(*launch_node_).empty());

  // Unbound, it cannot report; the status is recorded all the same, as after any failed report.
  try {
    read->update_status(status::kContainerRemoved);
    ADD_FAILURE() << "no error";
  } catch (const utils::RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()),
              "job " + landing->id() + " is bound to no backend client and cannot send");
  }
  EXPECT_EQ(read->status(), "Container Removed");
  EXPECT_TRUE(packages_for(*launch_node_).empty());
}

TEST_F(StoredRecords, ARecordReadBackSendsThroughTheClientItIsBoundTo) {
  std::filesystem::create_directory(job_);
  open_store<Launches>("launches.bin", Launches{{"job-1", make_launcher(job_)}});
  const auto read = read_back<Launches>("launches.bin");

  idp_->set_refresh_token("refresh-2", "access-2");
  idp_->set_user("access-2", networking::kUser);
  const auto other_client = std::make_shared<networking::Network>(backend_.url(), "refresh-2",
                                                                  device_, idp_->url());
  read->bind(other_client);
  EXPECT_EQ(read->network(), other_client);
  read->send();
  EXPECT_EQ(read->status(), "Sent");
  const auto requests = requests_to("/transfer/sendfilereq");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].bearer_token(), "access-2");
  EXPECT_EQ(summaries(packages_for(*landing_node_)), std::vector<std::string>{"job_submission"});
}

TEST_F(StoredRecords, AStoredRecordOfAnotherShapeIsRefusedAndTheFileKept) {
  const utils::Value good = {{"path", "/p"},
                             {"name", "n"},
                             {"owner", "o"},
                             {"receiver", "r"},
                             {"id", "i"},
                             {"status_history", utils::Value::array({{"New", "1.0"}})},
                             {"results_path", nullptr},
                             {"img_id", nullptr},
                             {"cntr_id", nullptr}};
  const std::pair<const char*, std::function<void(utils::Value&)>> changes[] = {
      {"no mapping", [](utils::Value& state) { state = "a text"; }},
      {"no id", [](utils::Value& state) { state.erase("id"); }},
      {"a name that is no text", [](utils::Value& state) { state["name"] = 5; }},
      {"an empty history", [](utils::Value& state) { state["status_history"].clear(); }},
      {"an entry of three", [](utils::Value& state) { state["status_history"][0].push_back("x"); }},
      {"a time that is no text", [](utils::Value& state) { state["status_history"][0][1] = 1.0; }},
      {"fields that are neither text nor None",
       [](utils::Value& state) { state["results_path"] = state["img_id"] = state["cntr_id"] = 7; }},
  };
  const auto file = folder_.path() / "records.bin";
  const auto write = [&](const utils::Value& state) {
    std::ofstream(file, std::ios::trunc) << utils::Value::array({{"i", state}}).dump();
  };
  write(good);
  EXPECT_EQ(PickledObject<Launches>(file, [] { return Launches(); }).snapshot().size(), 1u);
  EXPECT_EQ(PickledObject<Landings>(file, [] { return Landings(); }).snapshot().size(), 1u);
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    utils::Value state = good;
    change(state);
    write(state);
    EXPECT_THROW(PickledObject<Launches>(file, [] { return Launches(); }), utils::ValueError);
    EXPECT_THROW(PickledObject<Landings>(file, [] { return Landings(); }), utils::ValueError);
    EXPECT_TRUE(std::filesystem::exists(file));
  }
}

// A member given twice counts as its last, as in a mapping read whole; a last one of the wrong
// kind is refused even after a good first one.
TEST_F(StoredRecords, AMemberGivenTwiceCountsAsItsLast) {
  const auto file = folder_.path() / "records.bin";
  const std::string head =
      R"([["i",{"path":"/p","name":"first","owner":"o","receiver":"r","id":"i",)"
      R"("status_history":[["New","1.0"]],"results_path":null,)";
  std::ofstream(file, std::ios::trunc)
      << head << R"("name":"last","status_history":[["Sent","2.0"]],"results_path":"/r"}]])";
  const auto read = PickledObject<Launches>(file, [] { return Launches(); }).snapshot();
  ASSERT_EQ(read.size(), 1u);
  const auto& launch = read.begin()->second;
  EXPECT_EQ(launch->name(), "last");
  EXPECT_EQ(launch->status_history(), (std::vector<StatusEntry>{{"Sent", "2.0"}}));
  EXPECT_EQ(launch->results_path(), std::filesystem::path("/r"));

  std::ofstream(file, std::ios::trunc) << head << R"("name":5}]])";
  try {
    PickledObject<Launches>(file, [] { return Launches(); });
    ADD_FAILURE() << "no error";
  } catch (const utils::ValueError& e) {
    EXPECT_EQ(std::string(e.what()), "store file '" + file.string() +
                                         "' cannot be read back: a stored job record's \"name\" "
                                         "is int, not str");
  }
}

}  // namespace
}  // namespace velmora::job
