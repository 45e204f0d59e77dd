#include "velmora/boxwright/engine/engine_client.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "velmora/boxwright/engine/build_context.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/engine/log_frames.hpp"
#include "velmora/utils/file_descriptor.hpp"
#include "velmora/utils/http/url.hpp"
#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::boxwright::engine {

using utils::Value;

namespace {

constexpr std::string_view kApiPrefix = "/v1.41";
constexpr std::chrono::seconds kCallTimeout{60};
constexpr int kEngineStopTimeout = 10;  // seconds the engine waits for a stop when none is given
constexpr long kBuildAnswerStatus = 200;  // the status of a build answer; failures come inside it

// How long a call may take: a short call 60 s; a stream as long as data keeps moving; a build
// as long as the engine is silent for less than its limit, since a build step may run long
// without a word.
enum class Span { kShort, kStream, kBuild };

using Query = std::vector<std::pair<std::string, std::string>>;

std::string with_query(std::string path, const Query& query) {
  char separator = '?';
  for (const auto& [name, value] : query) {
    path += separator;
    path += name;
    path += '=';
    path += utils::percent_encode(value);
    separator = '&';
  }
  return path;
}

std::string flag(bool on) { return on ? "1" : "0"; }

// "32 MiB" or "1000 bytes": a limit as error texts show it.
std::string size_text(std::size_t bytes) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// Refuses a reference that would reach another engine path once the request's dot segments are
// resolved ("../containers/x" as an image), or none at all.
void check_reference(std::string_view kind, std::string_view reference) {
  bool refused = reference.empty();
  for (std::size_t start = 0; !refused && start <= reference.size();) {
    const std::size_t end = std::min(reference.find('/', start), reference.size());
    const std::string_view segment = reference.substr(start, end - start);
    refused = segment == "." || segment == "..";
    start = end + 1;
  }
  if (refused)
    throw utils::ValueError(std::string(kind) + " reference " +
                            utils::literal_text(std::string(reference)) +
                            " is empty or holds a '.' or '..' segment");
}

std::string container_path(std::string_view container, std::string_view action = "") {
  check_reference("container", container);
  return "/containers/" + utils::percent_encode(container) + std::string(action);
}

// Image names may hold a registry and a tag ("host:5000/name:tag"), kept readable as the engine
// expects them.
std::string image_path(std::string_view image, std::string_view action = "") {
  check_reference("image", image);
  return "/images/" + utils::percent_encode(image, "/:") + std::string(action);
}

// The message of a refusal: the "message" of its JSON, else its text.
std::string engine_message(const std::string& body) {
  try {
    const Value answer = utils::parse_json(body);
    if (answer.is_object() && answer.contains("message") && answer["message"].is_string())
      return answer["message"].get<std::string>();
  } catch (const utils::ValueError&) {
  }
  const auto first = body.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return body.substr(first, body.find_last_not_of(" \t\r\n") + 1 - first);
}

[[noreturn]] void throw_refusal(const utils::HttpResponse& response) {
  std::string message = engine_message(response.body);
  if (message.empty())
    message = "the Docker engine answered status " + std::to_string(response.status);
  if (response.status == 404) throw NotFoundError(message);
  throw EngineError(response.status, message);
}

Value json_of(const utils::HttpResponse& response) {
  try {
    return utils::parse_json(response.body);
  } catch (const utils::ValueError& e) {
    throw EngineError(response.status, std::string("the Docker engine's answer is not JSON: ") +
                                           e.what());
  }
}

// The text of a value as a query parameter: texts as they are, other values as JSON.
std::string parameter_text(const Value& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// The messages of a build answer: one JSON object a line, lines cut anywhere between pieces.
// A message or a whole output beyond the client's limits ends the build with EngineError.
class BuildStream {
 public:
  explicit BuildStream(const EngineLimits& limits) : limits_(limits) {}

  void feed(std::string_view piece) {
    received_ += piece.size();
    if (received_ > limits_.build_output_bytes)
      throw EngineError(kBuildAnswerStatus, "the image build's output passed " +
                                                size_text(limits_.build_output_bytes) +
                                                "; the build was abandoned");
    for (;;) {
      const auto end = piece.find('\n');
      if (end == std::string_view::npos) break;
      append_to_line(piece.substr(0, end));
      take_line();
      piece.remove_prefix(end + 1);
    }
    append_to_line(piece);
  }

  BuildResult finish() {
    take_line();
    if (error_) throw BuildError(*error_, std::move(log_));
    if (image_id_.empty())
      throw EngineError(kBuildAnswerStatus, "the Docker engine's build answer names no image");
    return {std::move(image_id_), std::move(log_)};
  }

 private:
  void append_to_line(std::string_view text) {
    if (partial_.size() + text.size() > limits_.build_message_bytes)
      throw EngineError(kBuildAnswerStatus, "a message of the image build's output passed " +
                                                size_text(limits_.build_message_bytes) +
                                                "; the build was abandoned");
    partial_.append(text);
  }

  void take_line() {
    const std::string line = std::exchange(partial_, {});
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    Value message;
    try {
      message = utils::parse_json(line);
    } catch (const utils::ValueError&) {
    }
    if (!message.is_object())
      throw EngineError(kBuildAnswerStatus,
                        "the Docker engine's build answer holds a line that is no JSON object");
    if (message.contains("error") && !error_) error_ = parameter_text(message["error"]);
    if (message.contains("aux") && message["aux"].is_object() && message["aux"].contains("ID") &&
        message["aux"]["ID"].is_string())
      image_id_ = message["aux"]["ID"].get<std::string>();
    log_.push_back(std::move(message));
  }

  const EngineLimits& limits_;
  std::size_t received_ = 0;  // bytes of output so far
  std::string partial_;       // the line being received
  Value log_ = Value::array();
  std::optional<std::string> error_;
  std::string image_id_;
};

Query build_query(const BuildOptions& options) {
  Query query;
  if (!options.tag.empty()) query.emplace_back("t", options.tag);
  if (!options.labels.empty()) query.emplace_back("labels", options.labels.dump());
  query.emplace_back("rm", flag(options.rm));
  query.emplace_back("forcerm", flag(options.forcerm));
  query.emplace_back("nocache", flag(options.nocache));
  if (options.pull) query.emplace_back("pull", flag(*options.pull));
  static constexpr std::array<std::string_view, 4> kLimits = {"memory", "memswap", "cpushares",
                                                              "cpusetcpus"};
  for (const auto& [name, value] : options.container_limits.items()) {
    if (std::find(kLimits.begin(), kLimits.end(), name) == kLimits.end())
      throw utils::ValueError("unknown container limit for a build: " + name);
    query.emplace_back(name, parameter_text(value));
  }
  return query;
}

// The engine's filter form: every filter's value a list of texts.
std::string filters_text(const Value& filters) {
  Value lists = Value::object();
  for (const auto& [name, value] : filters.items())
    lists[name] = value.is_array() ? value : Value::array({parameter_text(value)});
  return lists.dump();
}

// Whether the container described by an inspect answer runs with a terminal.
bool has_terminal(const Value& details) {
  const auto config = details.find("Config");
  if (config == details.end() || !config->is_object()) return false;
  const auto tty = config->find("Tty");
  return tty != config->end() && tty->is_boolean() && tty->get<bool>();
}

// A temporary file in folder that is removed when the call ends, however it ends.
struct ScratchFile {
  std::filesystem::path path;
  explicit ScratchFile(const std::filesystem::path& folder)
      : path(utils::make_temp_file(folder, "velmora-context-", ".tar")) {}
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
};

}  // namespace

struct EngineClient::Call {
  std::string method = {};
  std::string path = {};  // below the version prefix, query included
  utils::HttpBody body = {};
  std::string content_type = {};
  utils::ChunkSink answer = {};  // takes the body of a successful answer; unset, it is kept
  Span span = Span::kShort;
  std::chrono::seconds grace{0};  // added to a short call's time limit
};

utils::HttpResponse EngineClient::send(Call call) const {
  utils::HttpRequest request;
  request.method = std::move(call.method);
  request.url = address_.base_url + std::string(kApiPrefix) + call.path;
  if (!call.content_type.empty()) request.headers.emplace_back("Content-Type", call.content_type);
  request.body = std::move(call.body);
  if (call.answer) request.answer = std::move(call.answer);
  request.unix_socket = address_.unix_socket;
  request.trusted_ca_file = address_.ca_file;
  request.client_cert = address_.client_cert;
  request.client_key = address_.client_key;
  if (call.span == Span::kShort) {
    request.timeout = kCallTimeout + call.grace;
    request.body_limit = limits_.answer_bytes;
  }
  if (call.span == Span::kBuild) request.stall_time = limits_.build_silence;

  utils::HttpResponse response;
  try {
    response = utils::http_request(std::move(request));
  } catch (const utils::TransferError& e) {
    if (call.span == Span::kBuild && e.timed_out())
      throw EngineError(0, "the Docker engine sent nothing on the image build for " +
                               std::to_string(limits_.build_silence.count()) +
                               " s; the build was abandoned");
    throw EngineError(0, std::string("no answer from the Docker engine: ") + e.what());
  }
  if (response.status >= 400) throw_refusal(response);
  if (response.body_cut)
    throw EngineError(response.status, "the Docker engine's answer passed " +
                                           size_text(limits_.answer_bytes));
  return response;
}

EngineClient EngineClient::from_env() { return EngineClient(engine_address_from_env()); }

void EngineClient::ping() const { send({.method = "GET", .path = "/_ping"}); }

Value EngineClient::info() const { return json_of(send({.method = "GET", .path = "/info"})); }

BuildResult EngineClient::build_image(const std::filesystem::path& folder,
                                      const BuildOptions& options) const {
  const Query query = build_query(options);
  const ScratchFile context(options.temp_folder);
  write_build_context(folder, context.path);
  BuildStream stream(limits_);
  send({.method = "POST",
        .path = with_query("/build", query),
        .body = context.path,
        .content_type = "application/x-tar",
        .answer = [&stream](std::string_view piece) { stream.feed(piece); },
        .span = Span::kBuild});
  return stream.finish();
}

Value EngineClient::inspect_image(std::string_view image) const {
  return json_of(send({.method = "GET", .path = image_path(image, "/json")}));
}

Value EngineClient::remove_image(std::string_view image, RemoveOptions options) const {
  const std::string path = with_query(image_path(image), {{"force", flag(options.force)}});
  return json_of(send({.method = "DELETE", .path = path}));
}

std::string EngineClient::create_container(const Value& config, std::string_view name) const {
  const std::string path = name.empty()
                               ? "/containers/create"
                               : with_query("/containers/create", {{"name", std::string(name)}});
  const Value answer = json_of(send(
      {.method = "POST", .path = path, .body = config.dump(), .content_type = "application/json"}));
  if (!answer.contains("Id") || !answer["Id"].is_string())
    throw EngineError(201, "the Docker engine's create answer names no container");
  return answer["Id"].get<std::string>();
}

void EngineClient::start_container(std::string_view container) const {
  send({.method = "POST", .path = container_path(container, "/start")});
}

void EngineClient::stop_container(std::string_view container, std::optional<int> timeout) const {
  const std::string path = container_path(container, "/stop");
  send({.method = "POST",
        .path = timeout ? with_query(path, {{"t", std::to_string(*timeout)}}) : path,
        .grace = std::chrono::seconds(timeout.value_or(kEngineStopTimeout))});
}

void EngineClient::pause_container(std::string_view container) const {
  send({.method = "POST", .path = container_path(container, "/pause")});
}

void EngineClient::unpause_container(std::string_view container) const {
  send({.method = "POST", .path = container_path(container, "/unpause")});
}

void EngineClient::remove_container(std::string_view container, RemoveOptions options) const {
  send({.method = "DELETE",
        .path = with_query(container_path(container),
                           {{"force", flag(options.force)}, {"v", flag(options.volumes)}})});
}

Value EngineClient::inspect_container(std::string_view container) const {
  return json_of(send({.method = "GET", .path = container_path(container, "/json")}));
}

Value EngineClient::list_containers(const Value& filters, bool all) const {
  Query query = {{"all", flag(all)}};
  if (!filters.empty()) query.emplace_back("filters", filters_text(filters));
  return json_of(send({.method = "GET", .path = with_query("/containers/json", query)}));
}

Value EngineClient::container_changes(std::string_view container) const {
  return json_of(send({.method = "GET", .path = container_path(container, "/changes")}));
}

void EngineClient::container_archive(std::string_view container, std::string_view path,
                                     const utils::ChunkSink& sink) const {
  send({.method = "GET",
        .path = with_query(container_path(container, "/archive"), {{"path", std::string(path)}}),
        .answer = sink,
        .span = Span::kStream});
}

void EngineClient::container_logs(std::string_view container, const utils::ChunkSink& sink,
                                  LogStreams streams) const {
  const std::string path =
      with_query(container_path(container, "/logs"),
                 {{"stdout", flag(streams.out)}, {"stderr", flag(streams.err)}});
  // The engine frames the output of a container without a terminal; a terminal's comes raw.
  const bool raw = has_terminal(inspect_container(container));
  LogDemultiplexer frames(sink);
  send({.method = "GET",
        .path = path,
        .answer = raw ? sink : [&frames](std::string_view piece) { frames.feed(piece); },
        .span = Span::kStream});
  if (!frames.at_frame_end())
    throw EngineError(kLogAnswerStatus, "the Docker engine's log stream ends mid-frame");
}

bool EngineClient::container_logs(std::string_view container, const std::filesystem::path& file,
                                  LogStreams streams, std::uint64_t max_bytes) const {
  struct Full {};  // the file holds max_bytes: the rest of the log is not read
  utils::FileDescriptor out;
  out.open(file, O_WRONLY | O_CREAT | O_TRUNC);
  std::uint64_t written = 0;
  bool whole = true;
  try {
    container_logs(
        container,
        [&](std::string_view piece) {
          const bool fits = piece.size() <= max_bytes - written;
          if (!fits) piece = piece.substr(0, static_cast<std::size_t>(max_bytes - written));
          utils::write_all(out.get(), piece, file);
          written += piece.size();
          if (!fits) throw Full{};
        },
        streams);
  } catch (const Full&) {
    whole = false;
  }
  out.close(file);
  return whole;
}

}  // namespace velmora::boxwright::engine
