#include "velmora/daemon/startup/command_line.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "velmora/networking/identity_provider.hpp"
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
    {"--log-level", "", "[all|debug|info|warning|error|critical|none]",
     "The least level of the log lines written."},
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

struct VariableSpec {
  std::string_view name;
  std::string_view help;
  std::string default_text;
};

// The environment the daemon reads, as the help lists it.
std::array<VariableSpec, 4> environment_variables() {
  return {{{"VELMORA_IDP_DOMAIN", "The identity provider's host, with an optional :port.",
            std::string(networking::kDefaultIdentityProviderDomain)},
           {"VELMORA_API_AUDIENCE",
            "The audience access tokens must name; also the default of --backend.",
            std::string(model::kDefaultBackendUrl)},
           {"VELMORA_CA_FILE",
            "A PEM bundle of authorities trusted besides the system's, for the backend and the "
            "identity provider.",
            "none"},
           {"DOCKER_HOST", "The container engine that runs friends' jobs.",
            "unix:///var/run/docker.sock"}}};
}

constexpr std::string_view kUsage = "Usage: velmorad [OPTIONS]\n";

// The options' fields of options, by long name: text, then integers.
std::array<std::pair<std::string_view, std::string*>, 8> text_fields(ServeOptions& options) {
  model::NodeSettings& settings = options.settings;
  return {{{"--host", &options.host},
           {"--log-level", &settings.log_level},
           {"--private", &settings.priv_key_file},
           {"--public", &settings.pub_key_file},
           {"--groups", &settings.groups_file},
           {"--friends", &settings.friends_file},
           {"--results", &settings.results_folder},
           {"--backend", &settings.backend_url}}};
}
std::array<std::pair<std::string_view, std::int64_t*>, 4> integer_fields(ServeOptions& options) {
  model::NodeSettings& settings = options.settings;
  return {{{"--port", &options.port},
           {"--devpoll", &settings.device_list_interval},
           {"--filepoll", &settings.file_query_interval},
           {"--cntrrpoll", &settings.container_query_interval}}};
}

ServeOptions default_options(const std::string& backend_url) {
  ServeOptions options;
  options.settings.groups_file = "groups.bin";
  options.settings.friends_file = "friends.bin";
  options.settings.backend_url = backend_url;
  return options;
}

// What the help says an option is when it is not given.
std::string default_text(std::string_view name) {
  if (name == "--log") return "standard error";
  if (name == "--backend") return "VELMORA_API_AUDIENCE";
  ServeOptions defaults = default_options("");
  for (auto [field, value] : text_fields(defaults))
    if (field == name) return *value;
  for (auto [field, value] : integer_fields(defaults))
    if (field == name) return std::to_string(*value);
  throw std::logic_error("no default of " + std::string(name));
}

// An entry of the help: left at column 2, then help and "[default: default_value]" from column
// 34 on, their words wrapped before column 80.
void add_help_entry(std::string& text, const std::string& left, std::string_view help,
                    std::string_view default_value = {}) {
  constexpr std::size_t kColumn = 34;
  constexpr std::size_t kWidth = 79;
  std::string line = "  " + left;
  if (line.size() + 2 > kColumn) {
    text += line + '\n';
    line.clear();
  }
  line.resize(kColumn, ' ');
  bool line_empty = true;
  // words one by one, or all as one when whole and they fit a line.
  const auto add_words = [&](std::string_view words, std::string_view gap, bool whole) {
    while (!words.empty()) {
      const std::size_t end = whole && words.size() <= kWidth - kColumn
                                  ? words.size()
                                  : std::min(words.find(' '), words.size());
      const std::string_view word = words.substr(0, end);
      words.remove_prefix(std::min(end + 1, words.size()));
      if (!line_empty && line.size() + gap.size() + word.size() > kWidth) {
        text += line + '\n';
        line.assign(kColumn, ' ');
        line_empty = true;
      }
      if (!line_empty) line += gap;
      line += word;
      line_empty = false;
      gap = " ";
    }
  };
  add_words(help, " ", false);
  if (!default_value.empty())
    add_words("[default: " + std::string(default_value) + "]", "  ", true);
  text += line + '\n';
}

std::string help_text() {
  std::string text = std::string(kUsage) + "\nOptions:\n";
  for (const OptionSpec& option : kOptions) {
    std::string left(option.short_name);
    if (!left.empty()) left += ", ";
    left.append(option.name).append(" ").append(option.metavar);
    add_help_entry(text, left, option.help, default_text(option.name));
  }
  add_help_entry(text, "--help", "Show this message and exit.");
  text += "\nEnvironment:\n";
  for (const VariableSpec& variable : environment_variables())
    add_help_entry(text, std::string(variable.name), variable.help, variable.default_text);
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

// "http://" or "https://" (in any case) and a host: an address the backend client can reach.
bool is_http_url(std::string_view url) {
  const auto lower = [](std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
  };
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return false;
  const std::string scheme = lower(url.substr(0, scheme_end));
  if (scheme != "http" && scheme != "https") return false;
  const std::string_view rest = url.substr(scheme_end + 3);
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  const std::size_t at = authority.rfind('@');
  const std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
  return !host.empty() && !host.starts_with(':') &&
         host.find_first_of(" \t\r\n") == std::string_view::npos;
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
  ServeOptions options = default_options(default_backend_url);
  model::NodeSettings& settings = options.settings;
  for (auto [name, target] : text_fields(options))
    if (was_given(name)) *target = given[name];
  if (was_given("--log")) settings.log_file = given["--log"];
  for (auto [name, target] : integer_fields(options)) {
    if (!was_given(name)) continue;
    auto value = integer_option(spec(name), given[name]);
    if (auto* exit = std::get_if<CommandLineExit>(&value)) return std::move(*exit);
    *target = std::get<std::int64_t>(value);
  }
  if (options.port < 0 || options.port > 65535)
    return usage_error("Invalid value for " + option_hint(spec("--port")) + ": " +
                       std::to_string(options.port) + " is not in the range 0<=x<=65535.");
  if (!is_http_url(settings.backend_url))
    return usage_error(
        "Invalid value for '--backend': '" + settings.backend_url + "' is not an http(s) URL" +
        (was_given("--backend") ? "." : ", and it is the default, VELMORA_API_AUDIENCE's value."));
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
