#pragma once
// The sending node's record of a job (a launch): it sends the job folder to the receiving device
// and forwards the four controls there, and keeps where the returned results were filed. It never
// touches a container. Every member may be called from any thread (see Job).

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "velmora/job/job.hpp"
#include "velmora/utils/stores/ordered_dict.hpp"

namespace velmora::job {

class Launcher : public Job {
 public:
  // As Job's; sends nothing: the history holds "New".
  Launcher(std::filesystem::path path, std::string name, std::string owner, std::string receiver,
           std::shared_ptr<networking::Network> network,
           const std::optional<std::string>& id = std::nullopt,
           Clock clock = system_clock_seconds);

  // The launch that get_state wrote, not bound to a client. ValueError for another shape.
  static std::shared_ptr<Launcher> from_state(simdjson::dom::element state);

  // Where this node filed the returned results; none until they arrived.
  std::optional<std::filesystem::path> results_path() const;
  void set_results_path(std::filesystem::path results_path);

  // Sends "job_submission" to the receiver, with the job folder and the labels "job_id" and
  // "job_name", then records "Sent". A failed send (what Network::send_pkg throws, or
  // RuntimeError for a record bound to no client) records nothing.
  void send();

  // The controls: each sends its package ("stop_landing", "start_landing", "pause_landing",
  // "unpause_landing") to the receiver, with the job folder and the label "job_id", then records
  // the launch's own word ("Stopping", "Starting", "Pausing", "Unpausing"). Whatever the status;
  // a failed send records nothing.
  void stop();
  void start();
  void pause();
  void unpause();

  // Job's mapping, then "results_path": the folder's text, or "None".
  utils::Value to_dict() const override;

 private:
  explicit Launcher(simdjson::dom::object state);
  void control(std::string_view subject, std::string_view word);
  void write_own_state(utils::JsonWriter& out) const override;

  std::optional<std::filesystem::path> results_path_;  // guarded by the record's lock
};

// The node's launches by job id: the content of its store "launches".
using Launches = utils::OrderedDict<std::string, std::shared_ptr<Launcher>>;

}  // namespace velmora::job
