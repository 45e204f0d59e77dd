#pragma once
// The node object: the interface through which the local server communicates with the backend.
// It holds the node's key pair, device and persisted user data (thirteen stores and the results
// folder, relative to the working directory), its one backend client, the landings it watches and
// its update threads. One node object lives in a process at a time.
//
// Every member may be called from any thread once the constructor has returned, except from
// inside a pass of the node's own polls or a handler for the thread operations and
// refresh_user_data. Stores, records and the client guard themselves; the thread operations and
// the wipe are serialised. The destructor ends the update threads, then waits for every handler
// (a handler's requests are bounded by the clients' time-outs) and for the builds under way;
// landings still waiting for a build stay stored, for the next start to take up. A process that
// must end sooner ends the threads and waits for the handlers and builds with a limit
// (end_threads, wait_for_handlers), and leaves without the destructor when one is left.
//
// Crash safety: the landings store says where each landing is on its way (its status and engine
// ids, written after every step of the build and run), and a launch is stored before its package
// goes. A node killed at any moment and started again in the same folder takes every unfinished
// landing up, or ends it with a failure status reported to its owner. A package is acknowledged
// to the backend only once it is kept in the inbox, and leaves it once what it carries is stored.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/device/local_device.hpp"
#include "velmora/model/bounds.hpp"
#include "velmora/model/friends/friend_protocol.hpp"
#include "velmora/model/groups/group_protocol.hpp"
#include "velmora/model/inbox.hpp"
#include "velmora/model/jobs/running_landers.hpp"
#include "velmora/model/node_settings.hpp"
#include "velmora/model/packages/handler_threads.hpp"
#include "velmora/model/received_folder.hpp"
#include "velmora/model/stores.hpp"
#include "velmora/model/temp_folder.hpp"
#include "velmora/model/update_threads.hpp"
#include "velmora/networking/identity_provider.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/sealcraft/keys.hpp"

namespace velmora::model {

class Velmora {
 public:
  // Builds the node: checks the four intervals (ValueError for one not positive), probes the
  // engine, configures logging once per process (KeyError for a level outside the table, before
  // anything is configured; OSError for a log file that cannot be opened), logs
  // "Instantiating Velmora" ("Docker is running!", or a WARNING that no engine answered), takes the
  // temporary folder (temp_folder.hpp; RuntimeError when another node holds it) and the inbox
  // (inbox.hpp), loads the user data, clears what an earlier run left in the temporary folder,
  // notes the packages it left in the inbox, builds the backend client
  // (refresh_token and identity_provider, the provider's base URL, are handed to it), binds the
  // stored launches and landings to it, takes up what an earlier run left unfinished and creates
  // the update threads without starting them. Taking up: a launch whose results folder exists
  // without being recorded gets it recorded; with an answering engine, each landing not finished
  // is watched again when its container has started (reported "Running" when the store had not
  // recorded it yet), resumed at the first start_threads when its container or image is still to
  // be made, and otherwise dropped with a failure reported to its owner ("Container Removed" when
  // its container is gone, "Building Image Failed" or "Building Container Failed" when its job
  // folder is); a container a finished landing left is removed. Nothing else is reported to the
  // backend. Throws what any step throws; what was written to disk by then stays.
  Velmora(std::string refresh_token, NodeSettings settings = {}, std::int64_t keepalive_interval = 30,
          std::string identity_provider = networking::identity_provider_url());
  ~Velmora();

  Velmora(const Velmora&) = delete;
  Velmora& operator=(const Velmora&) = delete;

  const NodeSettings& settings() const noexcept { return settings_; }
  std::int64_t keepalive_interval() const noexcept { return keepalive_interval_; }
  // Whether the engine answered the probe at construction: never probed again.
  bool docker_is_running() const noexcept { return docker_is_running_; }

  // The key pair and device of the last load of the user data; a wipe replaces them with objects
  // made from the same files. The client keeps the device of the first load.
  std::shared_ptr<const sealcraft::PublicKey> pub_key() const;
  std::shared_ptr<const sealcraft::PrivateKey> priv_key() const;
  std::shared_ptr<device::LocalDevice> device() const;

  // The stores, each the same object for the node's life ("mid.bin" is never written back).
  Store<utils::Bytes>& machine_id() noexcept { return *machine_id_; }
  Store<Groups>& groups() noexcept { return *groups_; }
  Store<job::Launches>& launches() noexcept { return *launches_; }
  Store<job::Landings>& landings() noexcept { return *landings_; }
  Store<DeviceIds>& friends() noexcept { return *friends_; }
  Store<DeviceIds>& inbound_requests() noexcept { return *inbound_requests_; }
  Store<DeviceIds>& pending_requests() noexcept { return *pending_requests_; }
  Store<DeviceIds>& accepted_requests() noexcept { return *accepted_requests_; }
  Store<DeviceIds>& rejected_requests() noexcept { return *rejected_requests_; }
  Store<DeviceIds>& friend_removals() noexcept { return *friend_removals_; }
  Store<GroupEntries>& group_invitations() noexcept { return *group_invitations_; }
  Store<GroupEntries>& group_requests() noexcept { return *group_requests_; }
  Store<GroupNames>& group_removals() noexcept { return *group_removals_; }
  Store<GroupNames>& owned_groups() noexcept { return *owned_groups_; }

  const std::shared_ptr<networking::Network>& network() const noexcept { return network_; }
  RunningLanders& running_landers() noexcept { return running_landers_; }
  const UpdateThreads& update_threads() const noexcept { return *threads_; }
  // The threads on which received packages are handled (at most kHandlerThreads), and those on
  // which landings are built and started (at most kConcurrentBuilds).
  const HandlerThreads& handlers() const noexcept { return handlers_; }
  const HandlerThreads& builds() const noexcept { return builds_; }

  // Wipes the user data: pauses the update threads (reporting OFFLINE), removes the twelve store
  // files, then the results folder with its content, loads the user data again (the key pair and
  // machine id come back from their files; every store is empty; the store objects stay the
  // same), and unpauses the threads (reporting ONLINE). The first failure ends it there, the
  // threads left paused: OSError for a store file or results folder that is missing (or no
  // folder), what the load or a report throws. No friend or group step runs meanwhile: the wipe
  // waits for the one under way.
  void refresh_user_data();

  // Start, pause, unpause or kill the update threads, with the status report that follows
  // (UpdateThreads). kill_threads returns once every poll has ended. The first start_threads also
  // starts the builds of the landings that the node's start resumed.
  void start_threads();
  void pause_threads() { threads_->pause(); }
  void unpause_threads() { threads_->unpause(); }
  void kill_threads() { threads_->kill(); }
  bool threads_started() const noexcept { return threads_->started(); }
  // Ends the update threads as kill_threads does, with no status report: the process is ending.
  // A build not yet begun then does nothing, its landing left stored for the next start.
  void end_threads() {
    closing_ = true;
    threads_->end();
  }
  // Waits up to grace until no package handler and no build runs or waits; true when none is
  // left.
  bool wait_for_handlers(std::chrono::steady_clock::duration grace) const;

  // The friend protocol over the six friend sets (FriendProtocol): the operations the local API
  // calls and the handlers of the four friend packages, given the sender's device id.
  bool send_friend_request(const utils::Bytes& dest_uuid) {
    return friends_protocol_->send_friend_request(dest_uuid);
  }
  bool declare_friend(const utils::Bytes& uuid) { return friends_protocol_->declare_friend(uuid); }
  bool reject_friend(const utils::Bytes& uuid) { return friends_protocol_->reject_friend(uuid); }
  bool remove_friend(const utils::Bytes& uuid) { return friends_protocol_->remove_friend(uuid); }
  bool accept_friend_request(const utils::Bytes& dest_uuid) {
    return friends_protocol_->accept_friend_request(dest_uuid);
  }
  void handle_friend_request(const utils::Bytes& origin) {
    friends_protocol_->handle_friend_request(origin);
  }
  void handle_friend_accept(const utils::Bytes& origin) {
    friends_protocol_->handle_friend_accept(origin);
  }
  void handle_friend_reject(const utils::Bytes& origin) {
    friends_protocol_->handle_friend_reject(origin);
  }
  void handle_friend_remove(const utils::Bytes& origin) {
    friends_protocol_->handle_friend_remove(origin);
  }

  // The group protocol over the five group stores (GroupProtocol): the queries, the operations
  // the local API calls and the handlers of the eight group packages, given the sender's id.
  std::vector<std::string> group_member_UUIDs(const std::string& group) {
    return groups_protocol_->group_member_UUIDs(group);
  }
  std::optional<std::string> group_owner(const std::string& group) {
    return groups_protocol_->group_owner(group);
  }
  utils::Value group_member_info(const std::string& group) {
    return groups_protocol_->group_member_info(group);
  }
  bool create_group(const std::string& group, const std::string& description) {
    return groups_protocol_->create_group(group, description);
  }
  bool destroy_group(const std::string& group) { return groups_protocol_->destroy_group(group); }
  bool remove_group_member(const std::string& group, const std::string& uuid) {
    return groups_protocol_->remove_group_member(group, uuid);
  }
  bool invite_user_to_group(const std::string& group, const std::string& uuid) {
    return groups_protocol_->invite_user_to_group(group, uuid);
  }
  bool respond_to_group_request(const std::string& group, const std::string& uuid, bool accept) {
    return groups_protocol_->respond_to_group_request(group, uuid, accept);
  }
  bool respond_to_group_invitation(const std::string& group, bool accept) {
    return groups_protocol_->respond_to_group_invitation(group, accept);
  }
  bool request_to_join_group(const std::string& group) {
    return groups_protocol_->request_to_join_group(group);
  }
  bool leave_group(const std::string& group) { return groups_protocol_->leave_group(group); }
  void handle_group_request(const utils::Bytes& origin, const std::string& group) {
    groups_protocol_->handle_group_request(origin, group);
  }
  void handle_group_invitation_response(const utils::Bytes& origin, const std::string& group,
                                        bool accepted) {
    groups_protocol_->handle_group_invitation_response(origin, group, accepted);
  }
  void handle_group_destruction(const utils::Bytes& origin, const std::string& group) {
    groups_protocol_->handle_group_destruction(origin, group);
  }
  void handle_group_invitation(const utils::Bytes& origin, const std::string& group) {
    groups_protocol_->handle_group_invitation(origin, group);
  }
  void handle_group_request_response(const utils::Bytes& origin, const std::string& group,
                                     bool accepted) {
    groups_protocol_->handle_group_request_response(origin, group, accepted);
  }
  void handle_group_removal(const utils::Bytes& origin, const std::string& group) {
    groups_protocol_->handle_group_removal(origin, group);
  }

  // Empty the launches (landings) in place and write the store; nothing else is touched.
  void clear_launch_history();
  void clear_landing_history();

  // The file-query poll's pass: takes every package waiting for this device, until the backend
  // says none is left, and starts the handler of each on a handler thread, without waiting for it
  // (packages/subject_table.hpp). Drops, with its attachment folder: a package addressed to
  // another device (ERROR "Pkg received at wrong destination: Intended for <dest>, received at
  // <id>"), one whose subject has no handler here (WARNING "Case for file type '<subject>' not
  // implemented yet") and one whose label lacks a text member its handler needs (WARNING
  // "Dropping a package with a malformed label: <why>"); the pass goes on with the next. Only the
  // job submission and results handlers are given the attachment folder; every other is removed.
  // A package is taken only while fewer than kHandlerThreads handlers are pending; the pass ends
  // when as many are, and the packages left wait at the backend for a later pass. Throws what
  // taking a package throws (the packages behind it wait for the next pass).
  // Each package is kept in the inbox (inbox.hpp) before the backend is told it arrived, and
  // removed from there once its handler has ended (what it carries is stored) or it was dropped;
  // one that cannot be read or passes a bound is removed at once (WARNING "Refused a package
  // from <sender or 'an unknown sender'>: <why>"). The packages that an earlier run left in the
  // inbox are taken, oldest first, before the first package from the backend. A package that
  // could not be handed to a handler stays in the inbox and is taken again by the next pass.
  void handle_received_files();

  // The job road, the launching side. Stores a new launch of the job folder docker_dir, named
  // after the folder (jobs/job_name.hpp), sends it to device dest_uuid, logs "Sent job <id> to
  // <dest>" and stores it again as "Sent"; true. OSError when docker_dir holds no "Dockerfile"
  // (nothing stored or sent); what the send or a write throws (a launch whose send failed is taken
  // out of the store again).
  bool send_dockerized_app(const utils::Bytes& dest_uuid, const std::string& docker_dir);

  // The handlers of the job packages, given the sender's device id. A package about a job this
  // node does not hold, or from another device than the job's other side (a launch's receiver, a
  // landing's owner), is refused: WARNING "Refused <what> for job <id> from <origin>: <why>",
  // nothing changed, its folder removed.

  // Appends status to the launch's history as it comes, and writes the launches store. An update
  // taken twice (its node killed after the store, before the inbox let it go) shows its status
  // twice in the history; the last status is the same.
  void handle_job_update(const utils::Bytes& origin, const std::string& job_id,
                         const std::string& status);
  // Files the results folder tmp_results_dir (owned from now on) as "<results folder>/<name>_<id>",
  // sets the launch's results path and writes the store. Results that cannot be moved there are
  // kept in the temporary folder, out of reach of its clearing (TempFolder::keep), logged at
  // WARNING with the reason and the place; those of a launch filed already are removed, logged at
  // WARNING.
  void handle_job_results(const utils::Bytes& origin, const std::string& job_id,
                          const std::filesystem::path& tmp_results_dir);
  // Calls the launch's stop, start, pause or unpause, as case_ says (the store is not written).
  // RuntimeError "could not control launch with case <case_>" for another word.
  void handle_control_launch(const utils::Bytes& origin, const std::string& job_id,
                             std::string_view case_);

  // The job road, the landing side. Makes the landing of the job folder job_dir (owned from now
  // on, and removed on every path), which reports "Received". Refuses it unless origin is a friend,
  // the engine answered at construction and no stored landing of another owner has its id:
  // "Rejected" reported, WARNING "Job <id> from <owner> has been rejected" (and why, if no
  // engine), nothing stored. A job that has landed here already from origin (its package taken
  // twice) is dropped before anything is reported: INFO "Dropped job <id> from <owner>: it has
  // landed here already".
  // Otherwise stores it and leaves it to wait for its build, which runs it (storing each step),
  // removes its job folder, writes the landings store again and watches its container. A failed
  // run is logged (WARNING "Lander <id> encountered an error") and the landing stays stored with
  // the failure status it reported, unwatched. A store write that fails during the build is
  // logged at ERROR and the build goes on. Throws what a report before the build or the first
  // store write throws.
  void handle_job_submission(const utils::Bytes& origin, const std::string& job_id,
                             const std::string& job_name, const std::filesystem::path& job_dir);
  // Calls the landing's stop, start, pause or unpause, as case_ says, then writes the landings
  // store. RuntimeError "could not control landing with case <case_>" for another word.
  void handle_control_landing(const utils::Bytes& origin, const std::string& job_id,
                              std::string_view case_);

  // The container-query poll's pass: for each exited container of the engine that a watched
  // landing runs in, the landing is watched no longer, logs "Returning the results of job <id>",
  // returns its results to its owner and the landings store is written; a failure is logged
  // ("skipping container '<name>'") and the next container handled. Throws what listing the
  // containers throws.
  void handle_exited_containers();

 private:
  // Loads or makes the key pair, the machine id, the device, the stores and the results folder,
  // in this order; stores already open are reloaded in place, and the records they read back are
  // bound to the client when there is one.
  void load_user_data();
  // refresh_user_data's work, while the polls are paused and the friends and groups locks are
  // held.
  void wipe_user_data();
  // Binds every stored launch and landing to the node's client.
  void bind_job_records();
  // The job folders of the stored landings that a build may still need; the rest of the
  // temporary folder is what an earlier run left.
  std::set<std::filesystem::path> job_folders_in_use() const;
  // Records the results folder of each launch whose results were filed but not recorded.
  void take_up_launches();
  // Takes up each stored landing that is not finished (see the constructor); skipped when the
  // engine did not answer the probe, or cannot list its containers.
  void take_up_landings();
  void create_threads();
  // Puts the landing behind those waiting for a build; throws as HandlerThreads::start.
  void start_build(const std::shared_ptr<job::Lander>& lander);
  // The build of a landing that waits for it, and what follows: see handle_job_submission.
  void run_landing(const std::shared_ptr<job::Lander>& lander);
  // Writes the landings store; a failure is logged at ERROR, not thrown.
  void keep_landings() noexcept;
  // Removes a landing's job folder when it lies in the temporary folder; a failure is logged.
  void remove_job_folder(const std::filesystem::path& job_dir) const;

  // Removes a received folder that no handler took on a handler thread, so that a wide tree does
  // not hold the file-query poll (on the calling thread when no thread can be had).
  void remove_aside(const std::filesystem::path& folder);
  // The next package: one an earlier run left in the inbox, else one from the backend; none when
  // the backend has none. Refused packages are logged and passed over.
  std::optional<networking::ReceivedPackage> next_package();
  // One received package: refuses it when misaddressed or of a subject without a handler, else
  // starts its handler, handing attachment on when the handler takes it, and the package file,
  // which is removed from the inbox once the handler has ended. Whether a handler took it;
  // MalformedLabel when the label lacks what the dispatch reads.
  bool dispatch(const networking::ReceivedPackage& package, ReceivedFolder& attachment);
  // Whether the sender and the stored landings let job_id from origin land (handle_job_submission).
  bool admits(const utils::Bytes& origin, const std::string& job_id) const;

  const NodeSettings settings_;
  const std::int64_t keepalive_interval_;
  const bool docker_is_running_;

  mutable std::mutex keys_mutex_;  // guards the three fields below, replaced at each load
  std::shared_ptr<const sealcraft::PublicKey> pub_key_;
  std::shared_ptr<const sealcraft::PrivateKey> priv_key_;
  std::shared_ptr<device::LocalDevice> device_;

  // Opened by the first load, in this order, and kept.
  std::optional<Store<utils::Bytes>> machine_id_;
  std::optional<Store<Groups>> groups_;
  std::optional<Store<job::Launches>> launches_;
  std::optional<Store<job::Landings>> landings_;
  std::optional<Store<DeviceIds>> friends_;
  std::optional<Store<DeviceIds>> inbound_requests_;
  std::optional<Store<DeviceIds>> pending_requests_;
  std::optional<Store<DeviceIds>> accepted_requests_;
  std::optional<Store<DeviceIds>> rejected_requests_;
  std::optional<Store<DeviceIds>> friend_removals_;
  std::optional<Store<GroupEntries>> group_invitations_;
  std::optional<Store<GroupEntries>> group_requests_;
  std::optional<Store<GroupNames>> group_removals_;
  std::optional<Store<GroupNames>> owned_groups_;

  std::optional<TempFolder> temp_folder_;  // taken before the first load, for the node's life
  std::optional<Inbox> inbox_;             // made with the temporary folder
  // What an earlier run left in the inbox, oldest first: taken by the file-query poll alone.
  std::deque<std::filesystem::path> inbox_left_;
  std::shared_ptr<networking::Network> network_;
  std::unique_ptr<FriendProtocol> friends_protocol_;  // over the friend stores and network_
  std::unique_ptr<GroupProtocol> groups_protocol_;    // over the group stores and network_
  RunningLanders running_landers_;
  std::mutex resumed_mutex_;
  std::vector<std::shared_ptr<job::Lander>> resumed_;  // guarded: built at the first start
  std::atomic<bool> closing_{false};  // set as the node goes: builds not yet begun are let be
  HandlerThreads builds_{kConcurrentBuilds};  // waited for after the handlers, which add to it
  HandlerThreads handlers_{kHandlerThreads};  // waited for once the polls have ended
  std::unique_ptr<UpdateThreads> threads_;  // last: its polls end before the rest goes
};

}  // namespace velmora::model
