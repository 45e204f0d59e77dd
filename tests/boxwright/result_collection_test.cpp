// Result collection against the real engine of the environment (scripts/start-dockerd), and
// against a stand-in engine for what the real one never answers (a Windows engine, broken
// change lists, archives that go missing).
#include "velmora/boxwright/results/result_collection.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>

#include "testing/engine_janitor.hpp"
#include "testing/eventually.hpp"
#include "testing/fake_engine.hpp"
#include "testing/file_tree.hpp"
#include "testing/job_folder.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tar_writer.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/engine_probe.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::boxwright {
namespace {

using testing::file_content;
using testing::file_tree;
using utils::Value;
using Tree = std::map<std::string, std::string>;

constexpr const char* kFolder = "<folder>";

// The warnings and errors that collection logged.
std::vector<std::string> complaints(const utils::log::LogCapture& capture) {
  std::vector<std::string> lines;
  for (const auto& record : capture.records())
    lines.push_back(record.message + (record.error_text.empty() ? "" : " | " + record.error_text));
  return lines;
}

class RealEngineResults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(is_awake()) << "no Docker engine answers at DOCKER_HOST; scripts/test starts one";
    std::random_device random;
    // A label of its own first, so that no layer is shared with another test's image.
    const auto job = testing::make_job_folder(
        "FROM scratch\nLABEL velmora.test=" + std::to_string(random()) + std::to_string(random()) +
        "\nCOPY busybox /bin/busybox\n"
        "RUN [\"/bin/busybox\", \"--install\", \"-s\", \"/bin\"]\n"
        "RUN [\"/bin/sh\", \"-c\", \"mkdir -p /usr/local /etc; echo base > /etc/config; "
        "echo old > /etc/gone\"]\n");
    image_ = janitor_.image(
        client_.build_image(job.path(), {.forcerm = true, .nocache = true}).image_id);
  }

  // A container of the test image that ran script to its end.
  Container ran(const std::string& script) {
    const Value config = {{"Image", image_},
                          {"Cmd", {"/bin/sh", "-c", script}},
                          {"HostConfig", {{"NetworkMode", "none"}}}};
    const std::string id = janitor_.container(client_.create_container(config));
    client_.start_container(id);
    EXPECT_TRUE(testing::eventually(
        [&] { return client_.inspect_container(id)["State"]["Status"] == "exited"; }));
    return get_container(id);
  }

  engine::EngineClient client_ = engine::EngineClient::from_env();
  testing::EngineJanitor janitor_{client_};
  std::string image_;
  testing::ScopedFolder dest_;
};

TEST_F(RealEngineResults, AddedFilesInSeveralFoldersAndBothStreams) {
  const Container container =
      ran("echo out; echo err >&2; mkdir -p /out/sub /data; echo 42 > /out/result.txt; "
          "echo s > /out/sub/s.txt; echo d > /data/d.txt; echo u > /out/résumé.txt; "
          // Left out: below usr/local/lib, changed, deleted.
          "mkdir -p /usr/local/lib/pkg /usr/local/lib64; echo so > /usr/local/lib/pkg/x.so; "
          "echo so > /usr/local/lib64/y.so; echo changed >> /etc/config; rm /etc/gone");
  const utils::log::LogCapture capture("velmora.boxwright");

  const std::filesystem::path out = collect_results(container, dest_.path());
  EXPECT_EQ(out, dest_.path() / container.name);
  const std::string log = file_content(out / "output.log");
  EXPECT_TRUE(log == "out\nerr\n" || log == "err\nout\n") << log;
  EXPECT_EQ(file_tree(out / "filesys"), (Tree{{"out", kFolder},
                                              {"out/result.txt", "42\n"},
                                              {"out/sub", kFolder},
                                              {"out/sub/s.txt", "s\n"},
                                              {"out/résumé.txt", "u\n"},
                                              {"data", kFolder},
                                              {"data/d.txt", "d\n"}}));
  // Nothing else: the results folder, "output.log", "filesys" and the seven.
  EXPECT_EQ(file_tree(dest_.path()).size(), 3 + 7u);
  EXPECT_TRUE(complaints(capture).empty());
}

TEST_F(RealEngineResults, LinksAndDevicesNeverArrive) {
  const Container container =
      ran("mkdir -p /out/sub; echo 42 > /out/result.txt; ln /out/result.txt /out/twin; "
          "ln -s /etc/passwd /out/passwd; ln -s / /out/root; ln -s /etc /out/sub/etc; "
          "mkfifo /out/fifo; mknod /out/null c 1 3");
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out = collect_results(container, dest_.path());

  // The twin comes alone, as a file of its own; no link, device or FIFO is made.
  EXPECT_EQ(file_tree(out / "filesys"), (Tree{{"out", kFolder},
                                              {"out/result.txt", "42\n"},
                                              {"out/twin", "42\n"},
                                              {"out/sub", kFolder}}));
  const auto lines = complaints(capture);
  for (const char* left_out : {"passwd of out: a symbolic link", "root of out: a symbolic link",
                               "etc of out: a symbolic link", "twin of out: a hard link",
                               "fifo of out: a FIFO", "null of out: a device"}) {
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& line) {
                             return line.find(left_out) != std::string::npos;
                           }),
              lines.end())
        << left_out;
  }
}

TEST_F(RealEngineResults, DeepFolderTree) {
  const Container container =
      ran("d=/deep; i=0; while [ $i -lt 40 ]; do d=$d/level-$i; i=$((i+1)); done; "
          "mkdir -p $d; echo bottom > $d/bottom.txt");
  const std::filesystem::path out = collect_results(container, dest_.path());
  std::filesystem::path deep = out / "filesys" / "deep";
  for (int i = 0; i < 40; ++i) deep /= "level-" + std::to_string(i);
  EXPECT_EQ(file_content(deep / "bottom.txt"), "bottom\n");
  EXPECT_EQ(file_tree(out / "filesys").size(), 42u);
}

TEST_F(RealEngineResults, EmptyResultsAndAFolderThatIsThereAlready) {
  const Container container = ran("true");
  const std::filesystem::path out = collect_results(container, dest_.path());
  EXPECT_EQ(file_tree(out), (Tree{{"output.log", ""}, {"filesys", kFolder}}));

  std::ofstream(out / "output.log") << "kept";
  try {
    collect_results(container, dest_.path());
    ADD_FAILURE() << "no error";
  } catch (const utils::OSError& e) {
    EXPECT_EQ(e.error_number(), EEXIST);
  }
  EXPECT_EQ(file_content(out / "output.log"), "kept");
  try {
    collect_results(container, dest_.path() / "missing");
    ADD_FAILURE() << "no error";
  } catch (const utils::OSError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
}

// Makes engine a stand-in for one exited container "job" (log "done\n") with this change list
// and the archives of these paths; every other archive is missing.
void hold_container(testing::FakeEngine& engine, const std::string& info,
                    const std::string& changes, std::map<std::string, std::string> archives = {},
                    int changes_status = 200) {
  engine.answer("GET", "/info", 200, info);
  engine.answer("GET", "/containers/job/json", 200, R"({"Config": {"Tty": true}})");
  engine.answer("GET", "/containers/job/logs", 200, "done\n", "application/octet-stream");
  engine.answer("GET", "/containers/job/changes", changes_status, changes);
  engine.answer("GET", "/containers/job/archive",
                [archives = std::move(archives)](const httplib::Request& request,
                                                 httplib::Response& response) {
                  const auto found = archives.find(request.get_param_value("path"));
                  if (found == archives.end()) {
                    response.status = 404;
                    response.set_content(R"({"message": "Could not find the file"})",
                                         "application/json");
                  } else {
                    response.set_content(found->second, "application/x-tar");
                  }
                });
  engine.serve();
}

std::vector<std::string> archives_asked(const testing::FakeEngine& engine) {
  std::vector<std::string> paths;
  for (const auto& request : engine.requests_to("/containers/job/archive"))
    paths.push_back(request.params.find("path")->second);
  return paths;
}

const Container kJob{"job", "job-name"};

TEST(StandInResults, PathsInsideAFolderCollectedWholeAreNotFetchedAgain) {
  testing::TarWriter out, twin, loose;
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "linux"})",
                 R"([{"Path": "/out", "Kind": 1}, {"Path": "/out/a", "Kind": 1},
                     {"Path": "/out/twin", "Kind": 1}, {"Path": "/out/in", "Kind": 1},
                     {"Path": "/out/in/b", "Kind": 1}, {"Path": "/gone", "Kind": 1},
                     {"Path": "/loose", "Kind": 1}])",
                 {{"out", out.folder("out")
                              .file("out/a", "a")
                              .folder("out/in")
                              .file("out/in/b", "b")
                              .hardlink("out/twin", "out/a")
                              .bytes()},
                  {"out/twin", twin.file("twin", "a").bytes()},
                  {"loose", loose.file("loose", "l").bytes()}});
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out_dir = collect_results(kJob, dest.path());

  EXPECT_EQ(out_dir, dest.path() / "job-name");
  EXPECT_EQ(file_content(out_dir / "output.log"), "done\n");
  EXPECT_EQ(file_tree(out_dir / "filesys"), (Tree{{"out", kFolder},
                                                  {"out/a", "a"},
                                                  {"out/twin", "a"},
                                                  {"out/in", kFolder},
                                                  {"out/in/b", "b"},
                                                  {"loose", "l"}}));
  // What the folder's archive left out is fetched alone; a path that cannot be fetched is logged
  // and the next one still comes.
  EXPECT_EQ(archives_asked(engine), (std::vector<std::string>{"out", "out/twin", "gone", "loose"}));
  EXPECT_EQ(complaints(capture),
            (std::vector<std::string>{"Left out out/twin of out: a hard link",
                                      "Could not extract file: gone | "
                                      "velmora::boxwright::engine::NotFoundError: Could not find "
                                      "the file"}));
}

TEST(StandInResults, AJobOfManyLinksFillsNoLog) {
  testing::TarWriter out;
  out.folder("out");
  for (int i = 0; i < 1000; ++i) out.symlink("out/link-" + std::to_string(i), "/etc/passwd");
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "linux"})", R"([{"Path": "/out", "Kind": 1}])",
                 {{"out", out.file("out/kept", "k").bytes()}});
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out_dir = collect_results(kJob, dest.path());
  EXPECT_EQ(file_tree(out_dir / "filesys"), (Tree{{"out", kFolder}, {"out/kept", "k"}}));
  const auto lines = complaints(capture);
  ASSERT_EQ(lines.size(), 21u);
  EXPECT_EQ(lines[0], "Left out out/link-0 of out: a symbolic link");
  EXPECT_EQ(lines[20], "Left out 980 more entries of out");
}

TEST(StandInResults, WindowsEngineGivesItsDataFiles) {
  testing::TarWriter out, log, nested;
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "windows"})",
                 R"([{"Path": "Files/data", "Kind": 0}, {"Path": "Files/data/out.txt", "Kind": 0},
          {"Path": "Files/data/out.csv", "Kind": 0}, {"Path": "Files/data/run.log", "Kind": 0},
          {"Path": "Files/data/sub/n.txt", "Kind": 1}, {"Path": "Files/Users/x.txt", "Kind": 1}])",
                 {{"C:\\data\\out.txt", out.file("out.txt", "o").bytes()},
                  {"C:\\data\\run.log", log.file("run.log", "r").bytes()},
                  {"C:\\data\\sub\\n.txt", nested.file("n.txt", "n").bytes()}});
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out_dir = collect_results(kJob, dest.path());

  EXPECT_EQ(file_tree(out_dir / "filesys"), (Tree{{"data", kFolder},
                                                  {"data/out.txt", "o"},
                                                  {"data/run.log", "r"},
                                                  {"data/sub", kFolder},
                                                  {"data/sub/n.txt", "n"}}));
  EXPECT_EQ(
      archives_asked(engine),
      (std::vector<std::string>{"C:\\data\\out.txt", "C:\\data\\run.log", "C:\\data\\sub\\n.txt"}));
  const auto lines = complaints(capture);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("Could not extract file: Files/Users/x.txt | ")) << lines[0];
}

TEST(StandInResults, NoChangesGiveAnEmptyFilesysSilently) {
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "linux"})", "null");
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out = collect_results(kJob, dest.path());
  EXPECT_EQ(file_tree(out), (Tree{{"output.log", "done\n"}, {"filesys", kFolder}}));
  EXPECT_TRUE(capture.records().empty());
}

// A change list the engine cannot give once dropped every result without a word: it is logged,
// and the results say it.
TEST(StandInResults, AChangeListTheEngineCannotGiveIsLoggedAndSaidInTheResults) {
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "linux"})", R"({"message": "file name too long"})", {},
                 500);
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out = collect_results(kJob, dest.path());
  const std::string why =
      "the engine gave no list of the container's changes (file name too long); no files were "
      "collected";
  EXPECT_EQ(file_tree(out), (Tree{{"output.log", "done\n"},
                                  {"filesys", kFolder},
                                  {"incomplete.txt", why + "\n"}}));
  EXPECT_EQ(complaints(capture),
            (std::vector<std::string>{
                "Could not get the change list of container job-name | "
                "velmora::boxwright::engine::EngineError: file name too long",
                "The results of container job-name are incomplete: " + why}));
}

// A stand-in engine's archive of 10 KB that holds a 1 TiB sparse file: counted by its size, it
// passes the bytes per job, so collection stops there; what came before it is sent, and the
// results say where they stop.
TEST(StandInResults, ASparseFilePastTheBytesPerJobStopsTheCollection) {
  testing::TarWriter small, sparse, later;
  constexpr std::int64_t kTiB = std::int64_t{1} << 40;
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "linux"})",
                 R"([{"Path": "/small", "Kind": 1}, {"Path": "/out", "Kind": 1},
                     {"Path": "/later", "Kind": 1}])",
                 {{"small", small.file("small", "s").bytes()},
                  {"out",
                   sparse.folder("out").sparse("out/huge", kTiB, kTiB - 4096, "end").bytes()},
                  {"later", later.file("later", "l").bytes()}});
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out = collect_results(kJob, dest.path());

  const std::string why = "the results stop at the bound of " + std::to_string(kMaxResultBytes) +
                          " bytes per job: out/huge and what follows it were not collected";
  EXPECT_EQ(file_tree(out), (Tree{{"output.log", "done\n"},
                                  {"filesys", kFolder},
                                  {"filesys/small", "s"},
                                  {"filesys/out", kFolder},
                                  {"incomplete.txt", why + "\n"}}));
  EXPECT_EQ(archives_asked(engine), (std::vector<std::string>{"small", "out"}));
  EXPECT_EQ(complaints(capture),
            std::vector<std::string>{"The results of container job-name are incomplete: " + why});
}

// Smaller bounds, as tests give them: a sparse file within them arrives whole, a path too deep
// or too long is left out, the entries per job stop the collection, and so does a log that
// passes the bytes.
TEST(StandInResults, WhatIsCollectedIsHeldToTheBounds) {
  testing::TarWriter out;
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "linux"})",
                 R"([{"Path": "/a/b/c/d", "Kind": 1}, {"Path": "/out", "Kind": 1}])",
                 {{"out", out.folder("out")
                              .sparse("out/sparse", 10000, 9997, "end")
                              .file("out/deep/er/x", "x")
                              .file("out/long-name", "y")
                              .file("out/one", "1")
                              .file("out/two", "2")
                              .bytes()}});
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out_dir = collect_results(
      kJob, dest.path(), {.entries = 3, .path_depth = 3, .path_length = 10});
  EXPECT_EQ(std::filesystem::file_size(out_dir / "filesys/out/sparse"), 10000u);
  EXPECT_EQ(file_content(out_dir / "filesys/out/sparse").substr(9997), "end");
  const std::string why = "the results stop at the bound of 3 entries per job: out/two and what "
                          "follows it were not collected";
  EXPECT_EQ(file_content(out_dir / "incomplete.txt"), why + "\n");
  EXPECT_FALSE(std::filesystem::exists(out_dir / "filesys/out/deep"));
  EXPECT_FALSE(std::filesystem::exists(out_dir / "filesys/out/long-name"));
  EXPECT_EQ(file_content(out_dir / "filesys/out/one"), "1");
  EXPECT_FALSE(std::filesystem::exists(out_dir / "filesys/out/two"));
  const auto lines = complaints(capture);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Could not extract file: a/b/c/d | velmora::utils::ValueError: the path "
                       "is deeper or longer than collected results may be",
                       "Left out out/deep/er/x of out: a path deeper or longer than collected "
                       "results may be",
                       "Left out out/long-name of out: a path deeper or longer than collected "
                       "results may be",
                       "The results of container job-name are incomplete: " + why}));
  EXPECT_TRUE(archives_asked(engine) == std::vector<std::string>{"out"});

  const testing::ScopedFolder dest2;
  const std::filesystem::path cut = collect_results(kJob, dest2.path(), {.bytes = 3});
  EXPECT_EQ(file_tree(cut), (Tree{{"output.log", "don"},
                                  {"filesys", kFolder},
                                  {"incomplete.txt",
                                   "output.log stops at the bound of 3 bytes per job; no files "
                                   "were collected\n"}}));
}

TEST(StandInResults, BrokenEngineAnswersAreFailuresThatKeepWhatCame) {
  enum class Kind { kKey, kEngine };
  struct Case {
    std::string info;
    std::string changes;
    Kind failure;
    Tree left;  // what stays in the container results folder
  };
  const Case cases[] = {
      {R"({"Runtimes": {}})", "null", Kind::kKey,
       Tree{{"output.log", "done\n"}, {"filesys", kFolder}}},
      {R"({"OSType": "linux"})", R"([{"Path": "/first", "Kind": 1}, {"Kind": 1}])", Kind::kKey,
       Tree{{"output.log", "done\n"}, {"filesys", kFolder}, {"filesys/first", "1"}}},
      {R"({"OSType": "linux"})", R"({"Path": "/first", "Kind": 1})", Kind::kEngine,
       Tree{{"output.log", "done\n"}, {"filesys", kFolder}}},
  };
  for (const Case& c : cases) {
    testing::TarWriter first;
    testing::FakeEngine engine;
    hold_container(engine, c.info, c.changes, {{"first", first.file("first", "1").bytes()}});
    const testing::ScopedFolder dest;
    try {
      collect_results(kJob, dest.path());
      ADD_FAILURE() << "no error for " << c.info << " " << c.changes;
    } catch (const utils::KeyError&) {
      EXPECT_EQ(c.failure, Kind::kKey) << c.changes;
    } catch (const engine::EngineError&) {
      EXPECT_EQ(c.failure, Kind::kEngine) << c.changes;
    }
    EXPECT_EQ(file_tree(dest.path() / "job-name"), c.left) << c.info << " " << c.changes;
  }
}

TEST(StandInResults, OtherEnginesAndUnusableNames) {
  testing::FakeEngine engine;
  hold_container(engine, R"({"OSType": "plan9"})", R"([{"Path": "/out", "Kind": 1}])");
  const testing::ScopedFolder dest;
  const utils::log::LogCapture capture("velmora.boxwright");
  const std::filesystem::path out = collect_results(kJob, dest.path());
  EXPECT_EQ(file_tree(out), (Tree{{"output.log", "done\n"}, {"filesys", kFolder}}));
  EXPECT_EQ(capture.messages(),
            std::vector<std::string>{
                "WARNING:velmora.boxwright:No files are collected from an engine of the OS type "
                "plan9"});
  EXPECT_TRUE(engine.requests_to("/containers/job/changes").empty());

  using namespace std::string_literals;
  for (const std::string& name : {""s, "."s, ".."s, "../escape"s, "a/b"s, "a\0b"s})
    EXPECT_THROW(collect_results({"job", name}, dest.path()), utils::ValueError) << name;
  EXPECT_EQ(file_tree(dest.path()).size(), 3u);  // the first results only
}

}  // namespace
}  // namespace velmora::boxwright
