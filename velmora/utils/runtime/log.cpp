#include "velmora/utils/runtime/log.hpp"

#include <cxxabi.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <typeinfo>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/hex.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils::log {
namespace {

// The destination and the captures. Guarded by mutex; configured and capture_count are read
// without it on the hot path.
struct Sink {
  std::mutex mutex;
  std::FILE* stream = nullptr;  // null until configured
  std::atomic<bool> configured{false};
  std::atomic<int> capture_count{0};
  std::vector<LogCapture*> captures;
};

Sink& sink() {
  static Sink instance;
  return instance;
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

std::string format_message(std::string_view format, const std::vector<std::string>& args) {
  if (args.empty()) return std::string(format);
  std::string out;
  out.reserve(format.size() + 32);
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out.push_back(c);
      continue;
    }
    const char spec = format[i + 1];
    if (spec == '%') {
      out.push_back('%');
      ++i;
    } else if ((spec == 's' || spec == 'd') && next < args.size()) {
      out += args[next++];
      ++i;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// text as a log line may show it: every control character (C0, DEL and C1) and the line and
// paragraph separators U+2028 and U+2029 escaped (\n, \r, \t, \xNN, \uNNNN), as is each byte that is
// no UTF-8, so that what comes from outside can neither start a line of its own nor drive the
// terminal that shows the log.
std::string escaped_for_log(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(static_cast<char>(byte));
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    const char32_t cp = decode_utf8(text, pos);
    if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || cp == 0x7F || cp == kInvalidCodePoint) {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else if ((cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029) {
      out += "\\u";
      for (const int shift : {12, 8, 4, 0}) out.push_back(kHex[(cp >> shift) & 0xF]);
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

std::string error_line(const std::exception& cause) {
  const char* mangled = typeid(cause).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  std::string line = status == 0 ? demangled.get() : mangled;
  line += ": ";
  line += escaped_for_log(cause.what());
  return line;
}

}  // namespace

std::string level_name(int level) {
  switch (level) {
    case kDebug: return "DEBUG";
    case kInfo: return "INFO";
    case kWarning: return "WARNING";
    case kError: return "ERROR";
    case kCritical: return "CRITICAL";
    default: return "Level " + std::to_string(level);
  }
}

std::string log_text(std::string_view text) { return escaped_for_log(text); }
std::string log_text(const std::string& text) { return escaped_for_log(text); }
std::string log_text(const char* text) { return escaped_for_log(text); }

std::string token_fingerprint(std::string_view token) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(token.data(), token.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw RuntimeError("SHA-256 of a token failed");
  return hex_digits({reinterpret_cast<const char*>(digest), 6});
}

int Logger::effective_level() const noexcept {
  for (const Logger* logger = this; logger; logger = logger->parent_) {
    const int level = logger->level_.load(std::memory_order_relaxed);
    if (level != kNotSet) return level;
  }
  return kNotSet;
}

bool Logger::enabled_for(int level) const noexcept { return level >= effective_level(); }

bool Logger::wanted(int level) const noexcept {
  return enabled_for(level) || sink().capture_count.load(std::memory_order_relaxed) > 0;
}

void Logger::emit(int level, std::string_view format, std::vector<std::string> args,
                  const std::exception* cause) const {
  LogRecord record{name_, level, format_message(format, args),
                   cause ? error_line(*cause) : std::string()};
  Sink& out = sink();
  std::lock_guard lock(out.mutex);
  for (LogCapture* capture : out.captures) capture->offer(record);
  if (!enabled_for(level)) return;

  std::string line;
  if (out.stream) {
    line = level_name(level) + ":" + name_ + ":" + record.message;
  } else if (level >= kWarning) {
    line = record.message;  // not yet configured: the bare message, warnings and above
  } else {
    return;
  }
  if (cause) line += "\n" + record.error_text;
  line += "\n";
  std::FILE* stream = out.stream ? out.stream : stderr;
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

Logger& get_logger(std::string_view name) {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto found = reg.loggers.find(name); found != reg.loggers.end()) return *found->second;

  // Make the missing ancestors first, the root included, so every parent_ is fixed for life.
  Logger* parent = nullptr;
  std::size_t end = 0;
  for (;;) {
    const std::string_view prefix = name.substr(0, end);
    auto found = reg.loggers.find(prefix);
    if (found == reg.loggers.end()) {
      auto logger = std::unique_ptr<Logger>(
          new Logger(prefix.empty() ? "root" : std::string(prefix), parent));
      if (prefix.empty()) logger->set_level(kWarning);  // the root's level until configured
      found = reg.loggers.emplace(std::string(prefix), std::move(logger)).first;
    }
    parent = found->second.get();
    if (end == name.size()) return *parent;
    end = name.find('.', end + 1);
    if (end == std::string_view::npos) end = name.size();
  }
}

void configure_logging(int root_level, const std::string& log_file) {
  Sink& out = sink();
  std::lock_guard lock(out.mutex);
  if (out.configured.load()) return;
  std::FILE* stream = stderr;
  if (!log_file.empty()) {
    stream = std::fopen(log_file.c_str(), "a");
    if (!stream) throw OSError(errno, log_file);
  }
  out.stream = stream;
  get_logger("").set_level(root_level);
  out.configured.store(true);
}

LogCapture::LogCapture(std::string logger_name, int min_level,
                       std::function<void(const LogRecord&)> on_record)
    : prefix_(std::move(logger_name)), min_level_(min_level), on_record_(std::move(on_record)) {
  Sink& out = sink();
  std::lock_guard lock(out.mutex);
  out.captures.push_back(this);
  out.capture_count.fetch_add(1);
}

LogCapture::~LogCapture() {
  Sink& out = sink();
  std::lock_guard lock(out.mutex);
  std::erase(out.captures, this);
  out.capture_count.fetch_sub(1);
}

void LogCapture::offer(const LogRecord& record) {
  if (record.level < min_level_) return;
  const bool in_subtree =
      prefix_.empty() || record.logger == prefix_ ||
      (record.logger.starts_with(prefix_) && record.logger[prefix_.size()] == '.');
  if (!in_subtree) return;
  if (on_record_) on_record_(record);
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> lines;
  for (const LogRecord& record : records())
    lines.push_back(level_name(record.level) + ":" + record.logger + ":" + record.message);
  return lines;
}

}  // namespace velmora::utils::log
