#pragma once
// A job's image and container on the Docker engine of the process environment: the image built
// from the job folder, the container created (on the NVIDIA runtime where the engine offers it)
// and started, and the containers that have exited. Each call makes its own engine client and
// keeps nothing; any thread may call them at any time.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/boxwright/engine_objects.hpp"
#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::boxwright {

// Builds the image of the folder at path, which holds the Dockerfile, tagged
// sanitize_tag(name, version), with labels and the build containers' limits cntr_lmts ("memory",
// "memswap", "cpushares", "cpusetcpus"); the build context is written to temp_folder while it is
// sent. Intermediate containers are removed, also after a
// failure; the base image is pulled first on a Linux engine, not on a Windows one. A build that
// fails because the engine lost an image of its build cache meanwhile ("unable to find image
// ...") is made once more without the cache. Logs "metadata complete, bulding..." before the
// build and "done building" after it.
// Throws ImageBuildError when the build fails (with the engine's reason and build log where it
// reported them), whose build_args are the build's arguments: "path" (absolute, links resolved),
// "tag", "labels", "container_limits", "rm", "pull" and "forcerm". Before the build: the tag's
// RuntimeError for a version part over MAX_CHARS, KeyError when the engine's information has no
// "OSType", EngineError when the engine cannot be asked.
Image build_image(const std::filesystem::path& path, std::string_view name,
                  std::string_view version, const utils::Value& labels = utils::Value::object(),
                  const utils::Value& cntr_lmts = utils::Value::object(),
                  const std::filesystem::path& temp_folder = utils::temp_directory());

// Creates a container of img with labels, not started and not attached to; on the runtime
// "nvidia" when the engine's information lists it among its "Runtimes". Throws
// ContainerBuildError when the creation fails, whose build_args are {"img": img.id,
// "detach": true, "labels": labels}; a container that was made but cannot be looked up is
// removed first. KeyError when the information has no "Runtimes", and EngineError when the
// engine cannot be asked, before the creation.
Container build_container(const Image& img, const utils::Value& labels = utils::Value::object());

// Starts the container. Throws engine::NotFoundError when it has gone, EngineError otherwise.
void run_container(const Container& cntr);

// Removes a container that never ran, which would otherwise stay "created" for ever, out of
// sight of the exited-container list. Best effort: the engine refuses to remove one that runs
// after all, and no failure is reported.
void discard_container(const std::string& id) noexcept;

// Every exited container of the engine, whoever made it, in the engine's order.
std::vector<Container> get_exited_containers();

}  // namespace velmora::boxwright
