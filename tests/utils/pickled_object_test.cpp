#include "velmora/utils/stores/pickled_object.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>
#include <variant>

#include "testing/eventually.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/temp_files.hpp"

namespace velmora::utils {
namespace {

namespace fs = std::filesystem;

// A record kept the way job records are: its own mutex, persisted through get_state/from_state,
// writing its state straight into the store's text.
class TestRecord {
 public:
  explicit TestRecord(std::string id) : id_(std::move(id)) {}

  void set_status(const std::string& status) {
    std::lock_guard lock(mutex_);
    history_.push_back(status);
  }
  std::vector<std::string> history() const {
    std::lock_guard lock(mutex_);
    return history_;
  }
  const std::string& id() const { return id_; }

  void get_state(JsonWriter& out) const {
    std::lock_guard lock(mutex_);
    out.begin_mapping();
    out.key("id");
    out.text(id_);
    out.key("status_history");
    out.begin_list();
    for (const std::string& status : history_) out.text(status);
    out.end_list();
    out.end_mapping();
  }
  static std::shared_ptr<TestRecord> from_state(const Value& state) {
    auto record = std::make_shared<TestRecord>(state.at("id").get<std::string>());
    record->history_ = state.at("status_history").get<std::vector<std::string>>();
    return record;
  }

 private:
  const std::string id_;
  mutable std::mutex mutex_;
  std::vector<std::string> history_;
};

// A record that returns its state as a dynamic value.
struct NoteRecord {
  std::string text;
  Value get_state() const { return {{"text", text}}; }
  static std::shared_ptr<NoteRecord> from_state(const Value& state) {
    return std::make_shared<NoteRecord>(state.at("text").get<std::string>());
  }
};

using IdSet = std::set<Bytes>;
using GroupKey = std::variant<std::string, std::pair<std::string, std::string>>;
using GroupEntries = OrderedDict<GroupKey, std::string>;
using Records = OrderedDict<std::string, std::shared_ptr<TestRecord>>;

Bytes bytes(std::string_view raw) { return Bytes(raw); }

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream(path, std::ios::binary) << content;
}

template <class T>
std::function<T()> never_called() {
  return []() -> T { throw std::logic_error("the factory must not be called"); };
}

class PickledObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(temp_directory(), "storetest"); }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path file(const std::string& name) const { return dir_ / name; }

  // Builds a store of value in a fresh file, then reads it back through a second store.
  template <class T>
  T round_trip(const std::string& name, const T& value) {
    PickledObject<T> first(file(name), [&] { return value; });
    return PickledObject<T>(file(name), never_called<T>()).snapshot();
  }

  std::vector<std::string> names_in_dir() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(PickledObjectTest, MachineIdIsKeptAsItsRawBytes) {
  const Bytes id(std::string_view("3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c"));
  EXPECT_EQ(round_trip("mid.bin", id), id);
  EXPECT_EQ(read_file(file("mid.bin")), id.data);
}

TEST_F(PickledObjectTest, SetsOfIdsKeepBytesThatAreNotUtf8AndAreStoredSorted) {
  const IdSet ids{bytes("b-id"), bytes(std::string_view("\xff\x00\x80", 3)), bytes("a-id")};
  EXPECT_EQ(round_trip("friends.bin", ids), ids);
  EXPECT_EQ(read_file(file("friends.bin")), "[\"a-id\",\"b-id\",\"\u00ff\\u0000\u0080\"]");

  const std::set<std::string> names{"team", "crew"};
  EXPECT_EQ(round_trip("group_removals.bin", names), names);
}

TEST_F(PickledObjectTest, DictionariesKeepInsertionOrderAndPairKeys) {
  const OrderedDict<std::string, Value> groups{{"zeta", {{"desc", "last letter"}}},
                                               {"alpha", {{"desc", "first"}}}};
  EXPECT_EQ(round_trip("groups.bin", groups), groups);

  const GroupEntries invitations{
      {std::pair<std::string, std::string>("crew", "3f2b0c1e"), "pending"},
      {std::string("team"), "accepted"},
      {std::pair<std::string, std::string>("crew", "0a1b2c3d"), "rejected"}};
  const GroupEntries back = round_trip("group_invitations.bin", invitations);
  EXPECT_EQ(back, invitations);  // equality heeds order
  EXPECT_TRUE(std::holds_alternative<std::string>(std::next(back.begin())->first));
  EXPECT_EQ(read_file(file("group_invitations.bin")),
            R"([[["crew","3f2b0c1e"],"pending"],["team","accepted"],)"
            R"([["crew","0a1b2c3d"],"rejected"]])");
}

TEST_F(PickledObjectTest, RecordsPlugInThroughTheirState) {
  Records records;
  for (const char* id : {"f00d", "beef", "cafe"}) {
    auto record = std::make_shared<TestRecord>(id);
    record->set_status("New");
    record->set_status("Sent");
    records.insert_or_assign(id, record);
  }
  const Records back = round_trip("launches.bin", records);
  std::vector<std::string> ids;
  for (const auto& [id, record] : back) {
    ids.push_back(id);
    EXPECT_EQ(record->id(), id);
    EXPECT_EQ(record->history(), (std::vector<std::string>{"New", "Sent"}));
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"f00d", "beef", "cafe"}));
  EXPECT_TRUE(read_file(file("launches.bin"))
                  .starts_with(R"([["f00d",{"id":"f00d","status_history":["New","Sent"]}],)"));

  const std::vector<std::shared_ptr<NoteRecord>> notes{
      std::make_shared<NoteRecord>("a \"quote\"")};
  EXPECT_EQ(round_trip("notes.bin", notes).at(0)->text, "a \"quote\"");
}

TEST_F(PickledObjectTest, MissingFileIsWrittenAtOncePrivately) {
  int made = 0;
  PickledObject<IdSet> store(file("friends.bin"), [&] {
    ++made;
    return IdSet{};
  });
  EXPECT_EQ(made, 1);
  EXPECT_EQ(read_file(file("friends.bin")), "[]");
  struct stat st {};
  ASSERT_EQ(::stat(file("friends.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  store.with([](IdSet& ids) { ids.insert(bytes("x")); });
  EXPECT_EQ(read_file(file("friends.bin")), "[]");  // nothing written before dump
  EXPECT_EQ(store.dump_count(), 0u);  // the write at construction is no dump
  store.dump();
  EXPECT_EQ(store.dump_count(), 1u);
  EXPECT_EQ(PickledObject<IdSet>(file("friends.bin"), never_called<IdSet>()).snapshot(),
            IdSet{bytes("x")});
  EXPECT_EQ(names_in_dir(), std::vector<std::string>{"friends.bin"});  // no temporary file left
}

TEST_F(PickledObjectTest, RelativeNamesAreInTheWorkingDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  {
    PickledObject<std::set<std::string>> store("group_removals.bin",
                                               [] { return std::set<std::string>{"crew"}; });
    store.dump();
  }
  fs::current_path(previous);
  EXPECT_EQ(read_file(file("group_removals.bin")), R"(["crew"])");
}

TEST_F(PickledObjectTest, LoadRemovesTheLeftoversOfInterruptedDumpsOfItsOwnFileOnly) {
  PickledObject<IdSet> store(file("friends.bin"), [] { return IdSet{bytes("old")}; });
  // Dumps that died after writing part of their temporary file.
  write_file(file("friends.bin.tmp-a1b2c3"), R"(["old","ne)");
  write_file(file("friends.bin.tmp-ZZZZZZ"), "");
  // Names that only look alike, another store's leftover, and what is no regular file.
  for (const char* kept : {"friends.bin.tmp-abc", "friends.bin.tmp-a1b2c3d",
                           "friendsXbin.tmp-a1b2c3", "groups.bin.tmp-a1b2c3"})
    write_file(file(kept), "");
  fs::create_directory(file("friends.bin.tmp-dir123"));
  fs::create_symlink(file("groups.bin.tmp-a1b2c3"), file("friends.bin.tmp-link12"));

  PickledObject<IdSet> reopened(file("friends.bin"), never_called<IdSet>());
  EXPECT_EQ(reopened.snapshot(), IdSet{bytes("old")});
  EXPECT_EQ(names_in_dir(), (std::vector<std::string>{
                                "friends.bin", "friends.bin.tmp-a1b2c3d", "friends.bin.tmp-abc",
                                "friends.bin.tmp-dir123", "friends.bin.tmp-link12",
                                "friendsXbin.tmp-a1b2c3", "groups.bin.tmp-a1b2c3"}));
}

TEST_F(PickledObjectTest, FailedDumpKeepsThePreviousFile) {
  PickledObject<std::set<std::string>> store(file("names.bin"),
                                             [] { return std::set<std::string>{"kept"}; });
  store.with([](auto& names) { names.insert("\xff not UTF-8"); });
  try {
    store.dump();
    FAIL() << "dump must refuse text that is not UTF-8";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find(file("names.bin").string()), std::string::npos);
  }
  EXPECT_EQ(read_file(file("names.bin")), R"(["kept"])");
  EXPECT_EQ(names_in_dir(), std::vector<std::string>{"names.bin"});
  EXPECT_EQ(store.dump_count(), 0u);  // a failed dump wrote nothing
}

// A wipe: the file goes while the store keeps its value, then the same store object loads again.
TEST_F(PickledObjectTest, RemovedFileAndReloadKeepTheSameStoreObject) {
  PickledObject<IdSet> store(file("friends.bin"), [] { return IdSet{bytes("a-id")}; });
  store.remove_file();
  EXPECT_FALSE(fs::exists(file("friends.bin")));
  EXPECT_EQ(store.snapshot(), IdSet{bytes("a-id")});
  try {
    store.remove_file();
    ADD_FAILURE() << "no error";
  } catch (const OSError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }

  store.reload([] { return IdSet{}; });
  EXPECT_TRUE(store.snapshot().empty());
  EXPECT_EQ(read_file(file("friends.bin")), "[]");

  // A file that is there is read back, and prepare sees the value before it is live.
  write_file(file("friends.bin"), R"(["b-id"])");
  store.reload(never_called<IdSet>(), [](IdSet& ids) { ids.insert(bytes("c-id")); });
  EXPECT_EQ(store.snapshot(), (IdSet{bytes("b-id"), bytes("c-id")}));

  // A file that cannot be read back leaves the live value as it was.
  write_file(file("friends.bin"), "[");
  EXPECT_THROW(store.reload(never_called<IdSet>()), ValueError);
  EXPECT_EQ(store.snapshot(), (IdSet{bytes("b-id"), bytes("c-id")}));
}

TEST_F(PickledObjectTest, BytesInsideADynamicValueAreRefusedBeforeAnythingIsWritten) {
  using Groups = OrderedDict<std::string, Value>;
  EXPECT_THROW(PickledObject<Groups>(file("groups.bin"),
                                     [] { return Groups{{"g", Value::binary({1, 2})}}; }),
               ValueError);
  EXPECT_FALSE(fs::exists(file("groups.bin")));
}

// Each case: what a damaged file holds. Every one is refused with the file's name, and the file
// is left as it was.
TEST_F(PickledObjectTest, FileThatCannotBeReadBackIsRefusedWithItsName) {
  const struct {
    std::string name;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"truncated", R"([["f00d",{"id":"f00d","status_hi)"},
      {"not json", "\x80\x04}q\x00."},
      {"mapping for a dictionary", R"({"f00d":{}})"},
      {"entry without a value", R"([["f00d"]])"},
      {"record state without its id", R"([["f00d",{"status_history":[]}]])"},
      {"record state of the wrong type", R"([["f00d",{"id":7,"status_history":[]}]])"},
  };
  for (const auto& damaged : cases) {
    SCOPED_TRACE(damaged.name);
    write_file(file("launches.bin"), damaged.content);
    try {
      PickledObject<Records> store(file("launches.bin"), never_called<Records>());
      ADD_FAILURE() << "a damaged store file was accepted";
    } catch (const ValueError& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with("store file '" +
                                                    file("launches.bin").string() + "'"))
          << e.what();
    }
    EXPECT_EQ(read_file(file("launches.bin")), damaged.content);
  }

  write_file(file("friends.bin"), "[\"\u0100\"]");  // no byte has this code point
  EXPECT_THROW(PickledObject<IdSet>(file("friends.bin"), never_called<IdSet>()), ValueError);
  write_file(file("group_invitations.bin"), R"([[["crew","id","extra"],"pending"]])");
  EXPECT_THROW(PickledObject<GroupEntries>(file("group_invitations.bin"),
                                           never_called<GroupEntries>()),
               ValueError);
}

// A hostile or broken file is refused at once: nesting that would exhaust the stack, a NUL byte
// that would hide what follows it, and what is no regular file.
TEST_F(PickledObjectTest, HostileFilesAreRefusedWithTheirName) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const struct {
    const char* name;
    std::string content;
    std::function<void(const fs::path&)> load;
  } cases[] = {
      {"values.bin", deep,
       [](const fs::path& f) { PickledObject<Value>(f, never_called<Value>()); }},
      {"launches.bin", "[[\"f00d\", " + deep + "]]",
       [](const fs::path& f) { PickledObject<Records>(f, never_called<Records>()); }},
      {"friends.bin", std::string("[\"kept\"]\0[\"hidden\"]", 19),
       [](const fs::path& f) { PickledObject<IdSet>(f, never_called<IdSet>()); }},
  };
  for (const auto& hostile : cases) {
    write_file(file(hostile.name), hostile.content);
    try {
      hostile.load(file(hostile.name));
      ADD_FAILURE() << "accepted " << hostile.name;
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(file(hostile.name).string()), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(read_file(file(hostile.name)), hostile.content);
  }

  fs::create_symlink("/dev/zero", file("zero.bin"));
  fs::create_directory(file("folder.bin"));
  for (const char* name : {"zero.bin", "folder.bin"})
    EXPECT_THROW(PickledObject<IdSet>(file(name), never_called<IdSet>()), ValueError) << name;
}

TEST_F(PickledObjectTest, FifoAtTheStorePathIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo(file("friends.bin").c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&]() -> std::string {
    try {
      PickledObject<IdSet>(file("friends.bin"), never_called<IdSet>());
      return "loaded";
    } catch (const ValueError& e) {
      return e.what();
    }
  });
  if (load.wait_for(testing::kUnderLoad) == std::future_status::timeout) {
    ADD_FAILURE() << "the load waits for a writer";
    ::close(::open(file("friends.bin").c_str(), O_WRONLY | O_NONBLOCK));  // lets it end
  }
  EXPECT_EQ(load.get(), "store file '" + file("friends.bin").string() + "' is not a regular file");
}

TEST_F(PickledObjectTest, ConcurrentChangesAndDumpsLoseNothing) {
  using Dict = OrderedDict<std::string, std::string>;
  PickledObject<Dict> store(file("requests.bin"), [] { return Dict{}; });
  constexpr int kWriters = 4;
  constexpr int kChanges = 25;
  std::atomic<bool> writing{true};
  std::thread dumper([&] {
    while (writing) {
      store.dump();
      store.snapshot();
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kChanges; ++i) {
        const std::string key = std::to_string(w) + "/" + std::to_string(i);
        store.with([&](Dict& dict) { dict[key] = "pending"; });
        store.dump();
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  dumper.join();

  const Dict back = PickledObject<Dict>(file("requests.bin"), never_called<Dict>()).snapshot();
  EXPECT_EQ(back.size(), static_cast<std::size_t>(kWriters * kChanges));
  EXPECT_EQ(back, store.snapshot());
}

}  // namespace
}  // namespace velmora::utils
