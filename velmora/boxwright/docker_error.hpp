#pragma once
// The adapter's failures: DockerError and the three kinds built on it. All are runtime errors;
// what() of each subclass is its text form, made from its fields when it is constructed.

#include <string>

#include "velmora/utils/error.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::boxwright {

class DockerError : public utils::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// A failed image build. Text form: "Reason <reason>\nBuild Arguments: <build_args>\nBuild Log:
// <build_log>", values shown as their literal text, a text unquoted and null as None.
class ImageBuildError : public DockerError {
 public:
  // build_args: the arguments of the engine call that failed; reason and build_log: what the
  // engine reported, when it did.
  explicit ImageBuildError(utils::Value build_args, std::string reason = "Unknown",
                           utils::Value build_log = nullptr);

  const utils::Value& build_args() const noexcept { return build_args_; }
  const std::string& reason() const noexcept { return reason_; }
  const utils::Value& build_log() const noexcept { return build_log_; }

 private:
  utils::Value build_args_;
  std::string reason_;
  utils::Value build_log_;
};

// A failed container creation. Text form: "Build Arguments: <build_args>".
class ContainerBuildError : public DockerError {
 public:
  explicit ContainerBuildError(utils::Value build_args);
  const utils::Value& build_args() const noexcept { return build_args_; }

 private:
  utils::Value build_args_;
};

// A container that failed to run. Text form: the container's name.
class ContainerRunError : public DockerError {
 public:
  explicit ContainerRunError(std::string cntr_name)
      : DockerError(cntr_name), cntr_name_(std::move(cntr_name)) {}
  const std::string& cntr_name() const noexcept { return cntr_name_; }

 private:
  std::string cntr_name_;
};

}  // namespace velmora::boxwright
