#pragma once
// The process's logging: named loggers in a dotted hierarchy ("velmora.model" under "velmora"
// under the root), numeric levels, %-style messages, and one destination configured once.
//
// Before configure_logging runs, records at WARNING and above go to standard error as the bare
// message. Every function here may be called from any thread.

#include <atomic>
#include <concepts>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::utils::log {

enum Level : int {
  kNotSet = 0,  // a logger's own level when it defers to its parent
  kAll = 0,
  kDebug = 10,
  kInfo = 20,
  kWarning = 30,
  kError = 40,
  kCritical = 50,
  kNone = 500,
};

// "DEBUG" ... "CRITICAL" for the standard levels, "Level N" otherwise.
std::string level_name(int level);

// One logger argument, already turned into the text its %s or %d shows: a text with every control
// character, line separator and byte that is no UTF-8 escaped (CR and LF as \r and \n, ESC as
// \x1b, U+2028 as \u2028, ...), so that an argument can neither forge log lines nor drive a
// terminal.
std::string log_text(std::string_view text);
std::string log_text(const std::string& text);
std::string log_text(const char* text);
std::string log_text(std::integral auto number) { return std::to_string(number); }

// A secret (an access token) as log lines and traces may name it: the first 12 hexadecimal
// digits of its SHA-256, which tell secrets apart without handing one out.
std::string token_fingerprint(std::string_view token);

// A record's format: text fixed when the program is compiled, its %s and %d filled by the
// record's arguments. Its constructor runs at compile time only, so a text from outside (an
// answer, an error, a path) can reach a log line only as an argument, escaped.
class LogFormat {
 public:
  template <class Text>
    requires std::convertible_to<const Text&, std::string_view>
  consteval LogFormat(const Text& text) : text_(text) {}

  std::string_view text() const noexcept { return text_; }

 private:
  std::string_view text_;
};

class Logger {
 public:
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  const std::string& name() const noexcept { return name_; }

  // The logger's own level; kNotSet makes it follow its parent.
  void set_level(int level) noexcept { level_.store(level, std::memory_order_relaxed); }
  int effective_level() const noexcept;
  bool enabled_for(int level) const noexcept;

  template <class... Args>
  void debug(LogFormat format, const Args&... args) { log(kDebug, format, args...); }
  template <class... Args>
  void info(LogFormat format, const Args&... args) { log(kInfo, format, args...); }
  template <class... Args>
  void warning(LogFormat format, const Args&... args) { log(kWarning, format, args...); }
  template <class... Args>
  void error(LogFormat format, const Args&... args) { log(kError, format, args...); }
  template <class... Args>
  void critical(LogFormat format, const Args&... args) { log(kCritical, format, args...); }

  template <class... Args>
  void log(int level, LogFormat format, const Args&... args) {
    if (wanted(level)) emit(level, format.text(), {log_text(args)...}, nullptr);
  }

  // A record followed by the error that caused it (its type and text on the next line, the text
  // escaped as an argument is).
  template <class... Args>
  void log_error(int level, const std::exception& cause, LogFormat format, const Args&... args) {
    if (wanted(level)) emit(level, format.text(), {log_text(args)...}, &cause);
  }

 private:
  friend Logger& get_logger(std::string_view name);
  Logger(std::string name, const Logger* parent) : name_(std::move(name)), parent_(parent) {}

  bool wanted(int level) const noexcept;
  void emit(int level, std::string_view format, std::vector<std::string> args,
            const std::exception* cause) const;

  const std::string name_;
  const Logger* const parent_;  // null for the root
  std::atomic<int> level_{kNotSet};
};

// The logger of that dotted name, made on first use with its ancestors; "" is the root.
// References stay valid for the life of the process.
Logger& get_logger(std::string_view name);

// Sets the process's one destination and the root level: lines "LEVEL:logger:message" appended to
// log_file, or written to standard error when log_file is empty. Only the first call has an
// effect; later calls change nothing. Throws OSError when the file cannot be opened.
void configure_logging(int root_level, const std::string& log_file);

// A record as the facility saw it, for tests.
struct LogRecord {
  std::string logger;
  int level;
  std::string message;     // formatted, without the error line
  std::string error_text;  // what() of the attached error, empty when none
};

// Sees every record of one logger and its descendants at min_level and above while it lives,
// whatever levels and destination are configured. For tests. on_record, when given, is called
// with each record it sees, on the thread that logs it, before the record is written (the
// facility's lock is held: it must not log).
class LogCapture {
 public:
  explicit LogCapture(std::string logger_name = "", int min_level = kAll,
                      std::function<void(const LogRecord&)> on_record = nullptr);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const;
  std::vector<std::string> messages() const;  // "LEVEL:logger:message" of each record

 private:
  friend class Logger;
  void offer(const LogRecord& record);

  const std::string prefix_;
  const int min_level_;
  const std::function<void(const LogRecord&)> on_record_;
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

}  // namespace velmora::utils::log
