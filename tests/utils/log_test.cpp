#include "velmora/utils/runtime/log.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "velmora/utils/error.hpp"
#include "velmora/utils/temp_files.hpp"

namespace velmora::utils::log {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Log, LoggersInheritTheNearestSetLevel) {
  Logger& parent = get_logger("test.inherit");
  Logger& child = get_logger("test.inherit.child.grandchild");
  EXPECT_EQ(&get_logger("test.inherit"), &parent);
  parent.set_level(kError);
  EXPECT_EQ(child.effective_level(), kError);
  EXPECT_FALSE(child.enabled_for(kWarning));
  get_logger("test.inherit.child").set_level(kDebug);
  EXPECT_TRUE(child.enabled_for(kDebug));
  EXPECT_EQ(get_logger("").name(), "root");
}

TEST(Log, CaptureFormatsPercentArgumentsAndSeesItsSubtree) {
  LogCapture capture("test.capture");
  get_logger("test.capture.a").info("Inviting %s to %s", "dev-1", std::string("grp"));
  get_logger("test.capture").debug("%d%% done, %s", 50);  // surplus %s stays as written
  get_logger("test.capturex").error("not in the subtree");
  get_logger("test").error("not in the subtree");
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"INFO:test.capture.a:Inviting dev-1 to grp",
                                      "DEBUG:test.capture:50% done, %s"}));
}

TEST(Log, CaptureKeepsTheAttachedError) {
  LogCapture capture("test.error", kWarning);
  get_logger("test.error").info("below the capture's level");
  get_logger("test.error").log_error(kError, RuntimeError("boom"), "skipping container '%s'", "c1");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "skipping container 'c1'");
  EXPECT_EQ(records[0].error_text, "velmora::utils::RuntimeError: boom");
}

TEST(Log, CaptureCallsBackOnTheLoggingThreadBeforeTheCallReturns) {
  std::vector<std::string> seen;
  LogCapture capture("test.callback", kInfo,
                     [&](const LogRecord& record) { seen.push_back(record.message); });
  get_logger("test.callback").debug("below the capture's level");
  get_logger("test.callback.a").info("step %d", 1);
  EXPECT_EQ(seen, std::vector<std::string>{"step 1"});
}

TEST(Log, LineBreaksOfArgumentsAndErrorsCannotForgeLines) {
  LogCapture capture("test.forge");
  get_logger("test.forge").log_error(kWarning, RuntimeError("engine says\nERROR:velmora:x"),
                                     "job %s\nended", "evil\r\nCRITICAL:velmora:forged");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "job evil\\r\\nCRITICAL:velmora:forged\nended");
  EXPECT_EQ(records[0].error_text, "velmora::utils::RuntimeError: engine says\\nERROR:velmora:x");
}

// Every control character, line separator and stray byte of a peer's text is escaped, in
// arguments and in attached errors alike; printable text, other scripts included, stays.
TEST(Log, ControlCharactersAndSeparatorsOfArgumentsAndErrorsAreEscaped) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"tab\there", "tab\\there"},
      {"\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07"},  // terminal escapes
      {"nul\0byte"s, "nul\\x00byte"},
      {"del\x7f", "del\\x7f"},
      {"next\u0085line \u009b31m", "next\\u0085line \\u009b31m"},  // C1 controls
      {"line\u2028para\u2029end", "line\\u2028para\\u2029end"},
      {"stray \x9b and \xc3", "stray \\x9b and \\xc3"},  // no UTF-8: 8-bit CSI, a cut sequence
      {"r\u00e9sum\u00e9 \u65e5\u672c \u2027 \U0001f600 \\",
       "r\u00e9sum\u00e9 \u65e5\u672c \u2027 \U0001f600 \\"},
  };
  LogCapture capture("test.escape");
  for (const auto& c : cases)
    get_logger("test.escape").log_error(kWarning, RuntimeError(c.text), "got %s", c.text);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), std::size(cases));
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].message, "got " + cases[i].shown) << i;
    if (cases[i].text.find('\0') != std::string::npos) continue;  // what() ends at a NUL
    EXPECT_EQ(records[i].error_text, "velmora::utils::RuntimeError: " + cases[i].shown) << i;
  }
}

TEST(Log, LevelNames) {
  EXPECT_EQ(level_name(kDebug), "DEBUG");
  EXPECT_EQ(level_name(kCritical), "CRITICAL");
  EXPECT_EQ(level_name(15), "Level 15");
}

TEST(Log, TokenFingerprintIsTheFirstTwelveHexDigitsOfSha256) {
  EXPECT_EQ(token_fingerprint("abc"), "ba7816bf8f01");
  EXPECT_EQ(token_fingerprint(""), "e3b0c44298fc");
}

// Configuration is process-wide, so each case runs in a child process of its own.
class LogConfiguration : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(temp_directory(), "logtest"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs body in a child whose standard error goes to the file "stderr".
  template <class Body>
  void in_child(Body body) {
    const auto stderr_path = dir_ / "stderr";
    EXPECT_EXIT(
        {
          const int fd = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
          ::dup2(fd, 2);
          body();
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
  }
  std::string child_stderr() { return read_file(dir_ / "stderr"); }

  std::filesystem::path dir_;
};

TEST_F(LogConfiguration, BeforeConfigurationWarningsGoBareToStandardError) {
  in_child([] {
    get_logger("velmora.model").info("lost");
    get_logger("velmora.model").warning("kept %s", "bare");
  });
  EXPECT_EQ(child_stderr(), "kept bare\n");
}

TEST_F(LogConfiguration, FileIsAppendedAndOnlyTheFirstConfigurationCounts) {
  const auto log_file = dir_ / "node.log";
  std::ofstream(log_file) << "earlier line\n";
  const auto other = dir_ / "other.log";
  in_child([&] {
    configure_logging(kInfo, log_file.string());
    get_logger("velmora.networking").debug("below the level");
    get_logger("velmora.networking").info("Writing file content to %s", "/tmp/x");
    configure_logging(kDebug, other.string());  // changes nothing
    get_logger("velmora.model").debug("still below the level");
    get_logger("velmora.model").log_error(kWarning, ValueError("bad"), "Lander %s failed", "j1");
  });
  EXPECT_EQ(read_file(log_file),
            "earlier line\n"
            "INFO:velmora.networking:Writing file content to /tmp/x\n"
            "WARNING:velmora.model:Lander j1 failed\n"
            "velmora::utils::ValueError: bad\n");
  EXPECT_FALSE(std::filesystem::exists(other));
  EXPECT_EQ(child_stderr(), "");
}

TEST_F(LogConfiguration, NoneSilencesOwnLoggersButNotLibraryLoggersAtWarning) {
  in_child([] {
    get_logger("docker").set_level(kWarning);
    configure_logging(kNone, "");
    get_logger("velmora.daemon").critical("silenced");
    get_logger("docker").info("below its level");
    get_logger("docker").warning("library warning");
  });
  EXPECT_EQ(child_stderr(), "WARNING:docker:library warning\n");
}

TEST_F(LogConfiguration, AllWritesEveryLevel) {
  in_child([] {
    configure_logging(kAll, "");
    get_logger("velmora.model").log(5, "level five");
    get_logger("velmora.model").debug("debug");
  });
  EXPECT_EQ(child_stderr(), "Level 5:velmora.model:level five\nDEBUG:velmora.model:debug\n");
}

TEST(LogConfigurationError, UnopenableFileIsAnOsError) {
  EXPECT_EXIT(
      {
        try {
          configure_logging(kInfo, "/no/such/folder/node.log");
        } catch (const OSError& e) {
          std::exit(e.error_number() == ENOENT ? 0 : 2);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velmora::utils::log
