// Taking up, as the node starts, the landings that an earlier run left on their way: each is
// watched again, resumed, or ended with a failure reported to its owner, and the containers they
// left behind are removed. The landings store says where each landing is: its status, and the
// engine ids it kept (written after every step of the build and run).
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/life_cycle.hpp"
#include "velmora/job/container_labels.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/model/jobs/job_handling.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/velmora.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;
namespace log = utils::log;
namespace status = job::status;
using boxwright::engine::EngineClient;
using job::Lander;
using utils::Value;

// Whether a landing with this status has come to the end of its way: its results went back, its
// build failed, or it was refused or dropped (the last two are never kept; one found is ended).
bool finished(std::string_view last) {
  for (const std::string_view end : {status::kComplete, status::kStopped,
                                     status::kBuildingImageFailed,
                                     status::kBuildingContainerFailed, status::kContainerRemoved,
                                     status::kRejected})
    if (last == end) return true;
  return false;
}

// Whether a landing with this status was not yet given a container: it waits for its build, or
// is being built.
bool before_container(std::string_view last) {
  return last == status::kNew || last == status::kReceived || last == status::kBuildingImage ||
         last == status::kBuildingContainer;
}

// A container of the engine: its state ("created", "running", "exited", ...), image, and the
// device id of the node that made it (its label kNodeLabel; empty when it has none).
struct ListedContainer {
  std::string state;
  std::string image_id;
  std::string node;
};

// Every container of the engine, by id. EngineError for a list of another shape.
std::map<std::string, ListedContainer> list_containers() {
  const Value listed = EngineClient::from_env().list_containers(Value::object(), true);
  if (!listed.is_array())
    throw boxwright::engine::EngineError(200, "the Docker engine's container list is not a list");
  const auto text = [](const Value& entry, const char* name) {
    const auto found = entry.find(name);
    return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
  };
  std::map<std::string, ListedContainer> containers;
  for (const Value& entry : listed) {
    if (!entry.is_object()) continue;
    const auto labels = entry.find("Labels");
    const std::string node = labels != entry.end() && labels->is_object()
                                 ? text(*labels, job::kNodeLabel.data())
                                 : std::string();
    if (std::string id = text(entry, "Id"); !id.empty())
      containers.emplace(std::move(id),
                         ListedContainer{text(entry, "State"), text(entry, "ImageID"), node});
  }
  return containers;
}

// Whether a container in this state has been started: it runs, ran, or waits paused.
bool started(const std::string& state) {
  return state == "running" || state == "paused" || state == "restarting" || state == "exited";
}

// What the start does with a stored landing.
enum class TakeUp {
  leave,             // finished, and nothing of it left on the engine
  remove_container,  // finished, but its container is still there
  watch,             // its container has started
  report_and_watch,  // ... before the store recorded "Running"
  start,             // its container was made, never started
  drop,              // its container is gone: "Container Removed"
  build,             // never given a container: built again, or failed without its job folder
};

// The take-up of a landing whose last status is last, whose store names a container (kept) and
// whose container the engine lists as listed (null when it lists none).
TakeUp take_up_of(std::string_view last, bool kept, const ListedContainer* listed) {
  if (finished(last)) return listed ? TakeUp::remove_container : TakeUp::leave;
  if (listed && started(listed->state))
    return last == status::kBuildingContainer ? TakeUp::report_and_watch : TakeUp::watch;
  if (listed && listed->state == "created") return TakeUp::start;
  if (kept || !before_container(last)) return TakeUp::drop;
  return TakeUp::build;
}

// Reports status to the landing's owner when it can; the landing's way goes on all the same.
void report(Lander& lander, std::string_view status) {
  try {
    lander.update_status(status);
  } catch (const std::exception& e) {
    LOG.log_error(log::kInfo, e, "Could not report \"%s\" of landing %s", status, lander.id());
  }
}

// Removes a container that an ended landing left on the engine.
void remove_left_container(const std::string& cntr_id, const std::string& job_id) {
  try {
    EngineClient::from_env().remove_container(cntr_id);
  } catch (const std::exception& e) {
    LOG.log_error(log::kWarning, e, "Could not remove container %s that landing %s left", cntr_id,
                  job_id);
  }
}

// Removes the containers made of img_id that were never started, that carry this node's label
// (own_id, its device id) and that no stored landing names: what a run killed between creating a
// container and storing its id left. Another's container of the same image, or one made before
// the node labelled its containers, is not the node's to remove.
void discard_unnamed_containers(const std::map<std::string, ListedContainer>& containers,
                                const std::set<std::string>& named, const std::string& img_id,
                                const std::string& own_id) {
  for (const auto& [id, container] : containers)
    if (container.image_id == img_id && container.state == "created" &&
        container.node == own_id && !named.contains(id))
      boxwright::discard_container(id);
}

// The stored container id of the landing; none when it has none (or an empty one).
std::optional<std::string> container_id(const Lander& lander) {
  std::optional<std::string> id = lander.cntr_id();
  if (id && id->empty()) id.reset();
  return id;
}

}  // namespace

std::set<fs::path> Velmora::job_folders_in_use() const {
  std::set<fs::path> in_use;
  for (const auto& lander : job_records(*landings_))
    if (before_container(lander->status()) && !container_id(*lander) &&
        temp_folder_->holds(lander->path()))
      in_use.insert(lander->path());
  return in_use;
}

void Velmora::take_up_landings() {
  // Without an answering engine nothing can be looked up: every landing stays stored as it is,
  // unwatched, and nothing is reported (its container may well be there).
  if (!docker_is_running_) return landings_->dump();
  std::map<std::string, ListedContainer> containers;
  try {
    containers = list_containers();
  } catch (const std::exception& e) {
    LOG.log_error(log::kInfo, e,
                  "Could not list the engine's containers; keeping every landing, unwatched");
    return landings_->dump();
  }

  // Engine calls and reports are made outside the store's lock.
  const std::vector<std::shared_ptr<Lander>> landings = job_records(*landings_);
  std::set<std::string> named_containers;
  for (const auto& lander : landings)
    if (const auto id = container_id(*lander)) named_containers.insert(*id);
  std::vector<std::string> dropped;
  std::vector<std::shared_ptr<Lander>> resumed;
  const auto drop = [&](Lander& lander, std::string_view failure) {
    report(lander, failure);
    dropped.push_back(lander.id());
  };

  for (const auto& lander : landings) {
    const std::string& job_id = lander->id();
    const std::string last = lander->status();
    const std::optional<std::string> cntr_id = container_id(*lander);
    const auto found = cntr_id ? containers.find(*cntr_id) : containers.end();
    const ListedContainer* listed = found != containers.end() ? &found->second : nullptr;
    switch (take_up_of(last, cntr_id.has_value(), listed)) {
      case TakeUp::leave:
        break;
      case TakeUp::remove_container:
        remove_left_container(*cntr_id, job_id);
        break;
      case TakeUp::report_and_watch:
        report(*lander, status::kRunning);  // the owner may not have heard it
        [[fallthrough]];
      case TakeUp::watch:
        running_landers_.put(*cntr_id, lander);
        break;
      case TakeUp::start:
        LOG.info("Resuming landing %s, whose container is still to be started", job_id);
        resumed.push_back(lander);
        break;
      case TakeUp::drop:
        LOG.info("Could not find container id %s; removing associated landing",
                 cntr_id.value_or("None"));
        if (listed) boxwright::discard_container(*cntr_id);  // dead, or being removed
        drop(*lander, status::kContainerRemoved);
        break;
      case TakeUp::build: {
        if (const auto img_id = lander->img_id())
          discard_unnamed_containers(containers, named_containers, *img_id,
                                     utils::b2s(network_->local_device()->uuid()));
        std::error_code error;
        if (temp_folder_->holds(lander->path()) &&
            fs::is_directory(fs::symlink_status(lander->path(), error))) {
          LOG.info("Resuming landing %s, whose build was not done", job_id);
          resumed.push_back(lander);
        } else {
          LOG.info("Landing %s has no job folder to be built from again (%s); ending it", job_id,
                   lander->path().string());
          drop(*lander, last == status::kBuildingContainer ? status::kBuildingContainerFailed
                                                           : status::kBuildingImageFailed);
        }
        break;
      }
    }
  }
  landings_->with([&](job::Landings& stored) {
    for (const std::string& job_id : dropped) stored.erase(job_id);
  });
  landings_->dump();
  std::lock_guard lock(resumed_mutex_);
  resumed_ = std::move(resumed);
}

}  // namespace velmora::model
