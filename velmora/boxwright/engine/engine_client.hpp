#pragma once
// A client of the local Docker engine over its HTTP API, version 1.41. It holds only the
// engine's address: every call opens its own connection, so one client may serve any number of
// threads at once, and a client is cheap to make and drop.
//
// Calls answer the engine's JSON as it comes. A refusal throws NotFoundError for a missing
// container or image and EngineError otherwise, with the engine's message; an engine that cannot
// be reached, or whose answer breaks off, throws EngineError with status 0. A call gives up after
// 60 s, except image builds, log reads and archive transfers, which run as long as data moves
// (a build as long as the engine is silent for less than an hour). What the client holds of an
// answer is bounded (EngineLimits); an answer that passes a bound throws EngineError.
//
// Containers and images are named by id or name; a reference that is empty or holds a "." or
// ".." path segment is refused with ValueError before anything is sent.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/boxwright/engine/engine_address.hpp"
#include "velmora/utils/http/http_client.hpp"
#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::boxwright::engine {

struct BuildOptions {
  std::string tag = {};  // "name:version"; empty for none
  utils::Value labels = utils::Value::object();
  // Limits of the build's containers: "memory", "memswap", "cpushares", "cpusetcpus".
  utils::Value container_limits = utils::Value::object();
  bool rm = true;                 // remove intermediate containers after a successful build
  bool forcerm = false;           // ... and after a failed one
  std::optional<bool> pull = {};  // pull the base image first; unset leaves it to the engine
  bool nocache = false;
  // Where the build context's tar is written while it is sent; removed when the build ends.
  std::filesystem::path temp_folder = utils::temp_directory();
};

struct BuildResult {
  std::string image_id;  // "sha256:..."
  utils::Value log;      // the build's messages: a list of mappings, as the engine sent them
};

struct RemoveOptions {
  bool force = false;    // remove a running container (or an image in use)
  bool volumes = false;  // with a container, its anonymous volumes
};

struct LogStreams {
  bool out = true;  // the container's standard output
  bool err = true;  // the container's standard error
};

// A build whose output stays silent this long is abandoned; build steps may run long without a
// word, but not for ever.
inline constexpr std::chrono::seconds kBuildSilenceLimit = std::chrono::hours(1);

// What an engine may make the client hold or wait for.
struct EngineLimits {
  std::size_t answer_bytes = std::size_t{32} << 20;        // an answer held whole (info, lists)
  std::size_t build_message_bytes = std::size_t{1} << 20;  // one message of a build's output
  std::size_t build_output_bytes = std::size_t{16} << 20;  // all of a build's output
  std::chrono::seconds build_silence = kBuildSilenceLimit;
};

class EngineClient {
 public:
  explicit EngineClient(EngineAddress address, EngineLimits limits = {})
      : address_(std::move(address)), limits_(limits) {}

  // The engine of the process environment (engine_address_from_env).
  static EngineClient from_env();

  // Succeeds when the engine answers its health check.
  void ping() const;
  // The engine's system information ("OSType", "Runtimes", ...).
  utils::Value info() const;

  // Builds an image from folder, which must hold a Dockerfile. A build that the engine reports
  // failed throws BuildError with its message and log; a folder that is none throws OSError.
  BuildResult build_image(const std::filesystem::path& folder, const BuildOptions& options) const;
  // The image of that id or name.
  utils::Value inspect_image(std::string_view image) const;
  // Removes the image; answers the engine's list of what was untagged and deleted.
  utils::Value remove_image(std::string_view image, RemoveOptions options = {}) const;

  // Creates a container from config (the engine's container configuration: "Image", "Cmd",
  // "HostConfig", ...), named name unless it is empty; answers its id.
  std::string create_container(const utils::Value& config, std::string_view name = "") const;
  void start_container(std::string_view container) const;
  // Stops the container, killing it when it has not ended timeout seconds after the signal
  // (the engine's default when unset).
  void stop_container(std::string_view container, std::optional<int> timeout = {}) const;
  void pause_container(std::string_view container) const;
  void unpause_container(std::string_view container) const;
  void remove_container(std::string_view container, RemoveOptions options = {}) const;
  utils::Value inspect_container(std::string_view container) const;
  // The containers that match filters (a mapping of filter name to a text or a list of texts,
  // such as {"status": "exited"}); only running ones unless all is set or a status is asked for.
  utils::Value list_containers(const utils::Value& filters = utils::Value::object(),
                               bool all = false) const;
  // The paths the container added (Kind 1), changed (0) or deleted (2); null when none.
  utils::Value container_changes(std::string_view container) const;
  // Streams the tar archive of path inside the container to sink, as the engine sends it.
  void container_archive(std::string_view container, std::string_view path,
                         const utils::ChunkSink& sink) const;
  // Streams the container's log so far to sink: the chosen streams' output in the order it was
  // written, without the engine's framing.
  void container_logs(std::string_view container, const utils::ChunkSink& sink,
                      LogStreams streams = {}) const;
  // The same into file, which is created (or truncated, mode 0600) before the engine is asked,
  // so a failed call leaves it empty or holding the start of the log; at most max_bytes of the
  // log are written, and the answer is whether the whole log fit. OSError when it cannot be
  // written.
  bool container_logs(std::string_view container, const std::filesystem::path& file,
                      LogStreams streams = {}, std::uint64_t max_bytes = UINT64_MAX) const;

 private:
  struct Call;
  utils::HttpResponse send(Call call) const;

  EngineAddress address_;
  EngineLimits limits_;
};

}  // namespace velmora::boxwright::engine
