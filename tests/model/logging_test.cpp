// The logging set-up of the node: once per process, so each case runs in a child process of its
// own (the test re-run from its start, fakes included), which checks what it finds and exits 0
// when all is as expected, or 1 with what was wrong on standard error.
#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "node_fixture.hpp"
#include "testing/file_tree.hpp"
#include "testing/fake_engine.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

class Logging : public NodeFixture {
 protected:
  Logging() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    lay_down_node_identity();
  }

  // Settings with this level and log file.
  NodeSettings logging_to(const std::string& level, const std::optional<std::string>& file) const {
    NodeSettings settings = this->settings();
    settings.log_level = level;
    settings.log_file = file;
    return settings;
  }

  // The problems found, one a line; none when empty.
  std::ostringstream problems_;
  void expect(bool ok, const std::string& what) {
    if (!ok) problems_ << what << '\n';
  }
  [[noreturn]] void exit_with_problems() {
    std::cerr << problems_.str() << std::flush;
    std::exit(problems_.str().empty() ? 0 : 1);
  }
};

// A level outside the table, written in capitals included, fails with a key error after the engine
// was probed; like a log file that cannot be opened, it configures nothing and logs nothing.
TEST_F(Logging, FailedSetUpConfiguresNothing) {
  EXPECT_EXIT(
      {
        testing::FakeEngine engine;
        engine.answer("GET", "/_ping", 200, "OK", "text/plain");
        engine.serve();
        for (const std::string level : {"DEBUG", "Info", "verbose", ""}) {
          try {
            make_node(logging_to(level, "node.log"));
            expect(false, "level '" + level + "' was taken");
          } catch (const utils::KeyError& e) {
            expect(std::string(e.what()) == "'" + level + "'", std::string("key error ") + e.what());
          }
        }
        expect(engine.requests_to("/_ping").size() == 4, "the engine was not probed each time");
        try {
          make_node(logging_to("info", "missing/node.log"));
          expect(false, "a log file in a missing folder was taken");
        } catch (const utils::OSError& e) {
          expect(e.error_number() == ENOENT, e.what());
        }
        make_node(logging_to("info", "node.log"));
        const std::string log = testing::file_content("node.log");
        expect(log.starts_with("INFO:velmora.model:Instantiating Velmora\n"
                               "INFO:velmora.model:Docker is running!\n"
                               "INFO:velmora.model:Importing keypair from file system\n"),
               "node.log holds:\n" + log);
        exit_with_problems();
      },
      ::testing::ExitedWithCode(0), "");
}

// The first set-up holds for the process: a later node changes neither destination nor level.
TEST_F(Logging, OnlyTheFirstSetUpCountsAndItsFileIsAppendedTo) {
  EXPECT_EXIT(
      {
        std::ofstream("first.log") << "earlier line\n";
        make_node(logging_to("info", "first.log"));
        make_node(logging_to("debug", "second.log"));
        const std::string log = testing::file_content("first.log");
        expect(log.starts_with("earlier line\nINFO:velmora.model:Instantiating Velmora\n"),
               "first.log holds:\n" + log);
        std::size_t instantiations = 0;
        for (std::size_t at = 0; (at = log.find("Instantiating Velmora", at)) != std::string::npos;
             ++at)
          ++instantiations;
        expect(instantiations == 2, "not two nodes logged in first.log");
        expect(log.find("DEBUG:") == std::string::npos, "a debug line was written");
        expect(!std::filesystem::exists("second.log"), "second.log was made");
        exit_with_problems();
      },
      ::testing::ExitedWithCode(0), "");
}

// "none" silences the program's own loggers, not the libraries' warnings.
TEST_F(Logging, NoneLeavesOnlyTheLibraryLoggersWarnings) {
  EXPECT_EXIT(
      {
        make_node(logging_to("none", "node.log"));
        utils::log::get_logger("velmora.model").critical("silenced");
        utils::log::get_logger("urllib3").info("below its level");
        utils::log::get_logger("urllib3").warning("library warning");
        const std::string log = testing::file_content("node.log");
        expect(log == "WARNING:urllib3:library warning\n", "node.log holds:\n" + log);
        exit_with_problems();
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Logging, EmptyLogFileMeansStandardError) {
  EXPECT_EXIT(
      {
        make_node(logging_to("all", ""));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "INFO:velmora.model:Instantiating Velmora\n(.*\n)*INFO:velmora.model:creating threads");
}

}  // namespace
}  // namespace velmora::model
