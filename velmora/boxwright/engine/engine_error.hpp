#pragma once
// Failures of calls to the Docker engine. Callers test the kind; the text is the engine's message.

#include <string>

#include "velmora/utils/error.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::boxwright::engine {

// The engine refused a call or could not be reached (status 0), or DOCKER_HOST cannot be used.
class EngineError : public utils::Error {
 public:
  EngineError(long status, const std::string& message) : Error(message), status_(status) {}
  long status() const noexcept { return status_; }  // the engine's HTTP status; 0 for no answer

 private:
  long status_;
};

// The container or image that a call names does not exist.
class NotFoundError : public EngineError {
 public:
  explicit NotFoundError(const std::string& message) : EngineError(404, message) {}
};

// An image build that the engine accepted and then reported failed within its output.
class BuildError : public EngineError {
 public:
  BuildError(const std::string& reason, utils::Value build_log)
      : EngineError(200, reason), build_log_(std::move(build_log)) {}
  const utils::Value& build_log() const noexcept { return build_log_; }  // the build's messages

 private:
  utils::Value build_log_;
};

}  // namespace velmora::boxwright::engine
