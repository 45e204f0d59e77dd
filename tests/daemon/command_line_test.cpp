#include "velmora/daemon/startup/command_line.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "velmora/daemon/startup/serving_url.hpp"

namespace velmora::daemon {
namespace {

constexpr const char* kBackend = "https://api.example/";

std::variant<ServeOptions, CommandLineExit> parse(std::vector<const char*> args) {
  args.insert(args.begin(), "velmorad");
  return parse_command_line(static_cast<int>(args.size()), args.data(), kBackend);
}

ServeOptions served(std::vector<const char*> args) {
  auto result = parse(args);
  if (auto* exit = std::get_if<CommandLineExit>(&result)) ADD_FAILURE() << exit->text;
  return std::get<ServeOptions>(result);
}

CommandLineExit exited(std::vector<const char*> args) {
  auto result = parse(args);
  EXPECT_TRUE(std::holds_alternative<CommandLineExit>(result));
  return std::get<CommandLineExit>(result);
}

TEST(CommandLine, DefaultsServeLocallyWithTheNodeSettings) {
  const ServeOptions options = served({});
  EXPECT_EQ(options.host, "127.0.0.1");
  EXPECT_EQ(options.port, 5000);
  model::NodeSettings expected;
  expected.groups_file = "groups.bin";
  expected.friends_file = "friends.bin";
  expected.backend_url = kBackend;
  EXPECT_EQ(options.settings, expected);
  EXPECT_EQ(options.settings.log_level, "debug");
  EXPECT_EQ(options.settings.log_file, std::nullopt);
  EXPECT_EQ(options.settings.container_query_interval, 5);
}

TEST(CommandLine, TakesEveryOptionTheLastOfARepeatedOneCounting) {
  const ServeOptions options =
      served({"-h", "0.0.0.0", "-p", "6000", "--log-level", "info", "--log", "node.log",
              "--private", "a.key", "--public", "b.key", "--groups", "g.bin", "--friends",
              "f.bin", "--results", "out", "--devpoll", "2", "--filepoll", "7", "--cntrrpoll=9",
              "--backend", "https://other.example", "--port=6001", "--log", "last.log"});
  EXPECT_EQ(options.host, "0.0.0.0");
  EXPECT_EQ(options.port, 6001);
  const model::NodeSettings& settings = options.settings;
  EXPECT_EQ(settings.log_level, "info");
  EXPECT_EQ(settings.log_file, "last.log");
  EXPECT_EQ(settings.priv_key_file, "a.key");
  EXPECT_EQ(settings.pub_key_file, "b.key");
  EXPECT_EQ(settings.groups_file, "g.bin");
  EXPECT_EQ(settings.friends_file, "f.bin");
  EXPECT_EQ(settings.results_folder, "out");
  EXPECT_EQ(settings.device_list_interval, 2);
  EXPECT_EQ(settings.file_query_interval, 7);
  EXPECT_EQ(settings.container_query_interval, 9);
  EXPECT_EQ(settings.backend_url, "https://other.example");
}

TEST(CommandLine, ReadsIntegersAsDecimalText) {
  const std::pair<const char*, std::int64_t> accepted[] = {
      {"12", 12}, {" 12\t", 12}, {"+3", 3}, {"007", 7}, {"1_000", 1000}};
  for (const auto& [text, value] : accepted)
    EXPECT_EQ(served({"--port", text}).port, value) << text;
  // Read whole, then refused by the range.
  for (const char* text : {"-1", "9223372036854775807"})
    EXPECT_NE(exited({"--port", text}).text.find(std::string(text) + " is not in the range"),
              std::string::npos)
        << text;
  for (const char* text : {"", "1.5", "abc", "0x10", "1__0", "_1", "1_", "+", "1 2", "١"}) {
    const CommandLineExit exit = exited({"--devpoll", text});
    EXPECT_EQ(exit.status, 2) << text;
    EXPECT_NE(exit.text.find("Error: Invalid value for '--devpoll': '" + std::string(text) +
                             "' is not a valid integer."),
              std::string::npos)
        << exit.text;
  }
  EXPECT_NE(exited({"-p", "99999999999999999999"}).text.find("'--port' / '-p'"),
            std::string::npos);
}

TEST(CommandLine, RefusesWhatItDoesNotKnowWithUsageErrors) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--log-level", "INFO"}, "Error: Invalid value for '--log-level': 'INFO' is not one of"},
      {{"--log-level", "verbose"}, "is not one of 'all', 'debug',"},
      {{"--verbose"}, "Error: No such option: --verbose"},
      {{"serve"}, "Error: Got unexpected extra argument (serve)"},
      {{"--port"}, "Error: Option '--port' requires an argument."},
      {{"--port", "x", "--devpoll", "1"}, "'x' is not a valid integer."},
      // Poll periods the node would refuse at the login.
      {{"--devpoll", "0"}, "Error: Invalid value for '--devpoll': 0 is not in the range "
                           "1<=x<=1000000000."},
      {{"--filepoll", "-3"}, "Error: Invalid value for '--filepoll': -3 is not in the range"},
      {{"--cntrrpoll", "1000000001"}, "'--cntrrpoll': 1000000001 is not in the range"},
      // What the start would find only later.
      {{"--port", "70000"}, "Error: Invalid value for '--port' / '-p': 70000 is not in the range "
                            "0<=x<=65535."},
      {{"-p", "-1"}, "Error: Invalid value for '--port' / '-p': -1 is not in the range"},
      {{"--backend", "not-a-url"}, "Error: Invalid value for '--backend': 'not-a-url' is not an "
                                   "http(s) URL."},
      {{"--backend", "ftp://files.example/"}, "'ftp://files.example/' is not an http(s) URL."},
      {{"--backend", "https://"}, "'https://' is not an http(s) URL."},
      {{"--backend", "http://:80/"}, "'http://:80/' is not an http(s) URL."},
  };
  for (const auto& [args, message] : cases) {
    const CommandLineExit exit = exited(args);
    EXPECT_EQ(exit.status, 2);
    EXPECT_TRUE(exit.text.starts_with("Usage: velmorad [OPTIONS]\n")) << exit.text;
    EXPECT_NE(exit.text.find(message), std::string::npos) << exit.text;
  }
  for (const char* level : {"all", "debug", "info", "warning", "error", "critical", "none"})
    EXPECT_EQ(served({"--log-level", level}).settings.log_level, level);
  for (const char* port : {"0", "65535"}) EXPECT_EQ(served({"-p", port}).port, std::stoi(port));
  for (const char* url : {"http://127.0.0.1:8080", "HTTPS://api.example/v1", "https://u@host/"})
    EXPECT_EQ(served({"--backend", url}).settings.backend_url, url);

  // A default backend that is no URL is named as the default.
  const char* args[] = {"velmorad"};
  const auto from_default = parse_command_line(1, args, "velmora-api");
  ASSERT_TRUE(std::holds_alternative<CommandLineExit>(from_default));
  EXPECT_NE(std::get<CommandLineExit>(from_default)
                .text.find("'velmora-api' is not an http(s) URL, and it is the default, "
                           "VELMORA_API_AUDIENCE's value."),
            std::string::npos);
}

TEST(CommandLine, HelpListsTheOptionsInOrder) {
  const CommandLineExit help = exited({"--port", "nonsense", "--help"});
  EXPECT_EQ(help.status, 0);
  std::size_t at = 0;
  for (const char* line :
       {"Usage: velmorad [OPTIONS]", "-h, --host TEXT", "The interface to bind to.",
        "-p, --port INTEGER", "The port to bind to.",
        "--log-level [all|debug|info|warning|error|critical|none]\n",
        "--log <file>", "Log activity to <file>", "--private <file>",
        "Find or store private key at <file>", "--public <file>", "--groups <file>",
        "Read and store groups info at <file>", "--friends <file>", "--results <dir>",
        "Store job results in <dir>", "--devpoll <secs>",
        "Number of seconds between device list updates", "--filepoll <secs>",
        "--cntrrpoll <secs>", "Number of seconds between container queries", "--backend <URL>",
        "Point the middleware at this backend url", "--help", "Show this message and exit.",
        "Environment:", "VELMORA_IDP_DOMAIN", "VELMORA_API_AUDIENCE", "VELMORA_CA_FILE",
        "DOCKER_HOST"}) {
    const std::size_t found = help.text.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << help.text;
    at = found;
  }
  EXPECT_EQ(exited({"-h"}).status, 2);  // "-h" is the host and wants a value

  // Each option's and variable's default, on the lines of its entry (words compared across
  // wrapped lines); no line past column 79.
  const auto words = [](std::string_view text) {
    std::string joined;
    for (char c : text) {
      if (c != ' ' && c != '\n') joined += c;
      else if (!joined.empty() && joined.back() != ' ') joined += ' ';
    }
    return joined;
  };
  const std::string flowed = words(help.text);
  for (const char* entry :
       {"The interface to bind to. [default: 127.0.0.1]", "The port to bind to. [default: 5000]",
        "The least level of the log lines written. [default: debug]",
        "<file> [default: standard error]", "[default: priv.key]", "[default: pub.key]",
        "[default: groups.bin]", "[default: friends.bin]", "[default: results]",
        "updates [default: 1]", "file queries [default: 1]", "container queries [default: 5]",
        "url [default: VELMORA_API_AUDIENCE]", "VELMORA_IDP_DOMAIN", "[default: login.velmora.net]",
        "[default: https://api.velmora.net]", "[default: none]",
        "DOCKER_HOST The container engine that runs friends' jobs. [default: "
        "unix:///var/run/docker.sock]"})
    EXPECT_NE(flowed.find(words(entry)), std::string::npos) << entry << "\n" << help.text;
  std::istringstream lines(help.text);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
}

TEST(ServingUrl, NamesLocalhostForALoopbackHostAsTheCertificateDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"127.0.0.1", "https://localhost:5000/"}, {"127.1.2.3", "https://localhost:5000/"},
      {"::1", "https://localhost:5000/"},       {"localhost", "https://localhost:5000/"},
      {"0.0.0.0", "https://0.0.0.0:5000/"},     {"192.168.1.4", "https://192.168.1.4:5000/"},
      {"fe80::1", "https://[fe80::1]:5000/"},   {"node.example", "https://node.example:5000/"}};
  for (const auto& [host, url] : cases) EXPECT_EQ(serving_url(host, 5000), url) << host;
}

}  // namespace
}  // namespace velmora::daemon
