#include "velmora/boxwright/docker_error.hpp"

#include "velmora/utils/text/literal_text.hpp"

namespace velmora::boxwright {

using utils::display_text;

ImageBuildError::ImageBuildError(utils::Value build_args, std::string reason,
                                 utils::Value build_log)
    : DockerError("Reason " + reason + "\nBuild Arguments: " + display_text(build_args) +
                  "\nBuild Log: " + display_text(build_log)),
      build_args_(std::move(build_args)),
      reason_(std::move(reason)),
      build_log_(std::move(build_log)) {}

ContainerBuildError::ContainerBuildError(utils::Value build_args)
    : DockerError("Build Arguments: " + display_text(build_args)), build_args_(std::move(build_args)) {}

}  // namespace velmora::boxwright
