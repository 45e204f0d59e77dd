#include "velmora/daemon/startup/command_line.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "velmora/utils/runtime/poll.hpp"

namespace velmora::daemon {
namespace {

constexpr std::array<std::string_view, 7> kLogLevels{"all",   "debug",    "info", "warning",
                                                     "error", "critical", "none"};

struct OptionSpec {
  std::string_view name;        // the long name
  std::string_view short_name;  // "" when none
  std::string_view metavar;
  std::string_view help;
};

// In the order the help lists them.
constexpr std::array<OptionSpec, 13> kOptions{{
    {"--host", "-h", "TEXT", "The interface to bind to."},
    {"--port", "-p", "INTEGER", "The port to bind to."},
    {"--log-level", "", "[all|debug|info|warning|error|critical|none]", ""},
    {"--log", "", "<file>", "Log activity to <file>"},
    {"--private", "", "<file>", "Find or store private key at <file>"},
    {"--public", "", "<file>", "Find or store public key at <file>"},
    {"--groups", "", "<file>", "Read and store groups info at <file>"},
    {"--friends", "", "<file>", "Read and store friends info at <file>"},
    {"--results", "", "<dir>", "Store job results in <dir>"},
    {"--devpoll", "", "<secs>", "Number of seconds between device list updates"},
    {"--filepoll", "", "<secs>", "Number of seconds between file queries"},
    {"--cntrrpoll", "", "<secs>", "Number of seconds between container queries"},
    {"--backend", "", "<URL>", "Point the middleware at this backend url"},
}};

constexpr std::string_view kUsage = "Usage: velmorad [OPTIONS]\n";

std::string help_text() {
  std::string text = std::string(kUsage) + "\nOptions:\n";
  const auto add_line = [&text](std::string left, std::string_view help) {
    constexpr std::size_t kColumn = 30;
    text += "  " + left;
    if (!help.empty()) {
      text += left.size() <= kColumn ? std::string(kColumn + 2 - left.size(), ' ')
                                     : "\n" + std::string(kColumn + 4, ' ');
      text += help;
    }
    text += '\n';
  };
  for (const OptionSpec& option : kOptions) {
    std::string left(option.short_name);
    if (!left.empty()) left += ", ";
    add_line(left.append(option.name).append(" ").append(option.metavar), option.help);
  }
  add_line("--help", "Show this message and exit.");
  return text;
}

CommandLineExit usage_error(std::string_view message) {
  return {2, std::string(kUsage) + "Try 'velmorad --help' for help.\n\nError: " +
                 std::string(message) + "\n"};
}

// "'--port' / '-p'": how an error names the option.
std::string option_hint(const OptionSpec& option) {
  std::string hint = "'" + std::string(option.name) + "'";
  if (!option.short_name.empty()) hint += " / '" + std::string(option.short_name) + "'";
  return hint;
}

std::string_view strip(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\n\r\v\f";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A decimal integer as the command line takes it: blanks around it, an optional sign, digits with
// single underscores between them ("1_000"). Null when the text is not one.
std::optional<std::string> integer_digits(std::string_view text) {
  text = strip(text);
  std::string digits;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    if (text.front() == '-') digits += '-';
    text.remove_prefix(1);
  }
  bool after_digit = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digits += c;
      after_digit = true;
    } else if (c == '_' && after_digit) {
      after_digit = false;
    } else {
      return std::nullopt;
    }
  }
  if (!after_digit) return std::nullopt;
  return digits;
}

// The integer value of an option, or the usage error that refuses it.
std::variant<std::int64_t, CommandLineExit> integer_option(const OptionSpec& option,
                                                           const std::string& text) {
  const std::optional<std::string> digits = integer_digits(text);
  if (!digits)
    return usage_error("Invalid value for " + option_hint(option) + ": '" + text +
                       "' is not a valid integer.");
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(digits->data(), digits->data() + digits->size(), value);
  if (error != std::errc() || end != digits->data() + digits->size())
    return usage_error("Invalid value for " + option_hint(option) + ": '" + text +
                       "' is out of range.");
  return value;
}

const OptionSpec& spec(std::string_view name) {
  for (const OptionSpec& option : kOptions)
    if (option.name == name) return option;
  throw std::logic_error("no option " + std::string(name));
}

}  // namespace

std::variant<ServeOptions, CommandLineExit> parse_command_line(
    int argc, const char* const* argv, const std::string& default_backend_url) {
  CLI::App app("", "velmorad");
  app.set_help_flag("--help");
  app.allow_extras();
  std::map<std::string_view, std::string> given;  // long name to the last value given
  for (const OptionSpec& option : kOptions) {
    std::string names(option.name);
    if (!option.short_name.empty()) names = std::string(option.short_name) + "," + names;
    app.add_option(names, given[option.name])->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return CommandLineExit{0, help_text()};
  } catch (const CLI::ArgumentMismatch& error) {
    const std::string_view text = error.what();
    return usage_error("Option '" + std::string(text.substr(0, text.find(':'))) +
                       "' requires an argument.");
  } catch (const CLI::ParseError& error) {
    return usage_error(error.what());
  }
  if (const std::vector<std::string> extras = app.remaining(); !extras.empty()) {
    if (extras.front().starts_with('-')) return usage_error("No such option: " + extras.front());
    return usage_error("Got unexpected extra argument (" + extras.front() + ")");
  }

  const auto was_given = [&app](std::string_view name) {
    return app.get_option(std::string(name))->count() > 0;
  };
  ServeOptions options;
  model::NodeSettings& settings = options.settings;
  settings.groups_file = "groups.bin";
  settings.friends_file = "friends.bin";
  settings.backend_url = default_backend_url;
  for (auto [name, target] : {std::pair{"--host", &options.host},
                              std::pair{"--log-level", &settings.log_level},
                              std::pair{"--private", &settings.priv_key_file},
                              std::pair{"--public", &settings.pub_key_file},
                              std::pair{"--groups", &settings.groups_file},
                              std::pair{"--friends", &settings.friends_file},
                              std::pair{"--results", &settings.results_folder},
                              std::pair{"--backend", &settings.backend_url}})
    if (was_given(name)) *target = given[name];
  if (was_given("--log")) settings.log_file = given["--log"];
  for (auto [name, target] : {std::pair{"--port", &options.port},
                              std::pair{"--devpoll", &settings.device_list_interval},
                              std::pair{"--filepoll", &settings.file_query_interval},
                              std::pair{"--cntrrpoll", &settings.container_query_interval}}) {
    if (!was_given(name)) continue;
    auto value = integer_option(spec(name), given[name]);
    if (auto* exit = std::get_if<CommandLineExit>(&value)) return std::move(*exit);
    *target = std::get<std::int64_t>(value);
  }
  // A poll period the node would refuse is refused now, not at the first login.
  constexpr auto kMaxPeriod = static_cast<std::int64_t>(utils::Poll::kMaxIntervalSeconds);
  for (auto [name, seconds] : {std::pair{"--devpoll", settings.device_list_interval},
                               std::pair{"--filepoll", settings.file_query_interval},
                               std::pair{"--cntrrpoll", settings.container_query_interval}})
    if (seconds < 1 || seconds > kMaxPeriod)
      return usage_error("Invalid value for '" + std::string(name) + "': " +
                         std::to_string(seconds) + " is not in the range 1<=x<=" +
                         std::to_string(kMaxPeriod) + ".");
  if (std::find(kLogLevels.begin(), kLogLevels.end(), settings.log_level) == kLogLevels.end())
    return usage_error("Invalid value for '--log-level': '" + settings.log_level +
                       "' is not one of 'all', 'debug', 'info', 'warning', 'error', 'critical', "
                       "'none'.");
  return options;
}

}  // namespace velmora::daemon
