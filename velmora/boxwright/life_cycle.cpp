#include "velmora/boxwright/life_cycle.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "velmora/boxwright/docker_error.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/image_tags.hpp"
#include "velmora/boxwright/module_log.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::boxwright {
namespace {

using engine::EngineClient;
using utils::Value;

// A member of the engine's system information; KeyError when it has none.
const Value& info_member(const Value& info, const char* name) {
  if (info.is_object()) {
    const auto found = info.find(name);
    if (found != info.end()) return *found;
  }
  throw utils::KeyError(name);
}

// Whether the engine's runtimes (a mapping of name to details, or a list of names) hold "nvidia".
bool offers_nvidia(const Value& runtimes) {
  if (runtimes.is_null() || runtimes.empty()) return false;
  if (runtimes.is_object()) return runtimes.contains("nvidia");
  if (runtimes.is_array())
    return std::find(runtimes.begin(), runtimes.end(), Value("nvidia")) != runtimes.end();
  throw utils::TypeError("the Docker engine's \"Runtimes\" is neither a mapping nor a list");
}

// Pull the base image first on a Linux engine, never on a Windows one; elsewhere the engine
// decides.
std::optional<bool> pull_for(const Value& os_type) {
  if (os_type == "linux") return true;
  if (os_type == "windows") return false;
  return std::nullopt;
}

// The engine's cache lookup for a step lists the images that could hold it (after "FROM scratch"
// every image without a parent) and then reads each; an image removed in between, by anyone,
// fails the build with this message although nothing of the build is wrong. A build without the
// cache looks nothing up.
bool lost_an_image_of_its_cache(const engine::BuildError& e) {
  return std::string_view(e.what()).starts_with("unable to find image ");
}

}  // namespace

Image build_image(const std::filesystem::path& path, std::string_view name,
                  std::string_view version, const Value& labels, const Value& cntr_lmts,
                  const std::filesystem::path& temp_folder) {
  const EngineClient client = EngineClient::from_env();
  const std::optional<bool> pull = pull_for(info_member(client.info(), "OSType"));
  const std::string tag = sanitize_tag(name, version);
  const std::filesystem::path folder =
      std::filesystem::weakly_canonical(std::filesystem::absolute(path));
  const Value kwargs = {{"path", folder.string()},
                        {"tag", tag},
                        {"labels", labels},
                        {"container_limits", cntr_lmts},
                        {"rm", true},
                        {"pull", pull ? Value(*pull) : Value(nullptr)},
                        {"forcerm", true}};
  LOG.info("metadata complete, bulding...");
  engine::BuildOptions options{.tag = tag,
                               .labels = labels,
                               .container_limits = cntr_lmts,
                               .rm = true,
                               .forcerm = true,
                               .pull = pull,
                               .temp_folder = temp_folder};
  engine::BuildResult built;
  try {
    try {
      built = client.build_image(folder, options);
    } catch (const engine::BuildError& e) {
      if (!lost_an_image_of_its_cache(e)) throw;
      LOG.info("the engine lost an image of its build cache (%s); building without the cache",
               e.what());
      options.nocache = true;
      built = client.build_image(folder, options);
    }
  } catch (const engine::BuildError& e) {
    throw ImageBuildError(kwargs, e.what(), e.build_log());
  } catch (const std::exception&) {
    throw ImageBuildError(kwargs);
  }
  LOG.info("done building");
  return {std::move(built.image_id)};
}

Container build_container(const Image& img, const Value& labels) {
  const EngineClient client = EngineClient::from_env();
  const bool nvidia = offers_nvidia(info_member(client.info(), "Runtimes"));
  Value config = {{"Image", img.id},       {"Labels", labels},      {"AttachStdin", false},
                  {"AttachStdout", false}, {"AttachStderr", false}, {"OpenStdin", false},
                  {"StdinOnce", false},    {"Tty", false}};
  if (nvidia) config["HostConfig"] = {{"Runtime", "nvidia"}};
  std::string created;
  try {
    created = client.create_container(config);
    return container_of(client.inspect_container(created));
  } catch (const std::exception&) {
    if (!created.empty()) discard_container(created);
    throw ContainerBuildError({{"img", img.id}, {"detach", true}, {"labels", labels}});
  }
}

void run_container(const Container& cntr) { EngineClient::from_env().start_container(cntr.id); }

void discard_container(const std::string& id) noexcept {
  try {
    EngineClient::from_env().remove_container(id);
  } catch (...) {
  }
}

std::vector<Container> get_exited_containers() {
  const Value listed = EngineClient::from_env().list_containers({{"status", "exited"}});
  if (!listed.is_array())
    throw engine::EngineError(200, "the Docker engine's container list is not a list");
  std::vector<Container> containers;
  containers.reserve(listed.size());
  for (const Value& entry : listed) containers.push_back(container_of(entry));
  return containers;
}

}  // namespace velmora::boxwright
