#include "velmora/job/launcher.hpp"

#include "velmora/job/job_status.hpp"
#include "velmora/job/stored_state.hpp"
#include "velmora/job/subjects.hpp"

namespace velmora::job {
namespace {

std::optional<std::string> text_of(const std::optional<std::filesystem::path>& path) {
  return path ? std::optional(path->string()) : std::nullopt;
}

}  // namespace

Launcher::Launcher(std::filesystem::path path, std::string name, std::string owner,
                   std::string receiver, std::shared_ptr<networking::Network> network,
                   const std::optional<std::string>& id, Clock clock)
    : Job(std::move(path), std::move(name), std::move(owner), std::move(receiver),
          std::move(network), id, std::move(clock)) {}

Launcher::Launcher(simdjson::dom::object state)
    : Job(state), results_path_(stored_state::text_or_none(state, "results_path")) {}

std::shared_ptr<Launcher> Launcher::from_state(simdjson::dom::element state) {
  return std::shared_ptr<Launcher>(new Launcher(stored_state::record(state)));
}

std::optional<std::filesystem::path> Launcher::results_path() const {
  return read([&] { return results_path_; });
}

void Launcher::set_results_path(std::filesystem::path results_path) {
  change([&] { results_path_ = std::move(results_path); });
}

void Launcher::send() {
  send_package(receiver(), subject::kJobSubmission, path(),
               {{"job_id", id()}, {"job_name", name()}});
  set_status(status::kSent);
}

void Launcher::stop() { control(subject::kStopLanding, status::kStopping); }
void Launcher::start() { control(subject::kStartLanding, status::kStarting); }
void Launcher::pause() { control(subject::kPauseLanding, status::kPausing); }
void Launcher::unpause() { control(subject::kUnpauseLanding, status::kUnpausing); }

void Launcher::control(std::string_view subject, std::string_view word) {
  send_package(receiver(), subject, path(), {{"job_id", id()}});
  set_status(word);
}

utils::Value Launcher::to_dict() const {
  utils::Value dict = Job::to_dict();
  dict["results_path"] = text_of(results_path()).value_or("None");
  return dict;
}

void Launcher::write_own_state(utils::JsonWriter& out) const {
  stored_state::write_text_or_none(out, "results_path", text_of(results_path_));
}

}  // namespace velmora::job
