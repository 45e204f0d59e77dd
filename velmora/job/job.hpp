#pragma once
// A job as one node keeps it: its folder, its name, the device that sent it (owner) and the one
// that runs it (receiver), its id and the timed history of its statuses. Launcher (the sending
// node's record) and Lander (the running node's) build on it; a Job is never made alone.
//
// Every member may be called from any thread. The history, the client binding and the fields the
// two sides add sit behind the record's own lock: appending an entry and reading the current
// status are each one step. The lock is never held across a send or an engine call. Not copyable.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmora/networking/network.hpp"
#include "velmora/utils/text/json_writer.hpp"
#include "velmora/utils/value.hpp"

namespace simdjson::dom {
class element;
class object;
}  // namespace simdjson::dom

namespace velmora::job {

// One history entry: the status as it was set, and the moment of setting as text (seconds since
// the epoch, the shortest digits that read back to the same double, always with a fraction).
using StatusEntry = std::pair<std::string, std::string>;

// The history's time source: seconds since the epoch.
using Clock = std::function<double()>;
double system_clock_seconds();

class Job {
 public:
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  virtual ~Job() = default;

  // A fresh job id: the 32 lower-case hexadecimal digits of a random version 4 UUID.
  static std::string _make_id();

  const std::filesystem::path& path() const noexcept { return path_; }
  const std::string& name() const noexcept { return name_; }
  const std::string& owner() const noexcept { return owner_; }
  const std::string& receiver() const noexcept { return receiver_; }
  const std::string& id() const noexcept { return id_; }

  // The status of the last history entry.
  std::string status() const;
  // Appends (status, the time text of now); sends nothing.
  void set_status(std::string_view status);
  std::vector<StatusEntry> status_history() const;

  // The backend client this record sends through; none for a record read back from a store until
  // the node binds it to its own.
  std::shared_ptr<networking::Network> network() const;
  void bind(std::shared_ptr<networking::Network> network);

  // A new mapping of texts: "path", "name", "owner", "receiver", "id", "status", then
  // "status_history", a list of [status, time] pairs.
  virtual utils::Value to_dict() const;
  // to_dict's JSON text as the local API answers it (utils::answer_json). Kept until the record
  // changes, so a history of unchanged records is listed by copying text.
  std::shared_ptr<const std::string> dict_text() const;

  // The stored form: a JSON mapping of every field but the client. Its text is kept until the
  // record changes, so a store of unchanged records is written by copying text.
  void get_state(utils::JsonWriter& out) const;

 protected:
  // The id when given and not empty, else a fresh one; the history starts with "New". network
  // may be none (the record cannot send until bound). clock must not be empty.
  Job(std::filesystem::path path, std::string name, std::string owner, std::string receiver,
      std::shared_ptr<networking::Network> network, const std::optional<std::string>& id,
      Clock clock);
  // The record that get_state wrote: unbound, on the system clock. ValueError for a state of
  // another shape.
  explicit Job(simdjson::dom::object state);

  // Sends a package to dest through the bound client (Network::send_pkg). RuntimeError when the
  // record is bound to no client; what send_pkg throws.
  void send_package(const std::string& dest, std::string_view subject,
                    const std::filesystem::path& attachment, const utils::Value& labels) const;
  // The folder of the bound client's temporary items, where the record makes its own. RuntimeError
  // when the record is bound to no client.
  std::filesystem::path temp_folder() const;
  // The device id text of the bound client's node. RuntimeError when the record is bound to no
  // client.
  std::string own_device_id() const;

  // Calls fn under the record's lock; change() also drops the kept stored form and to_dict's
  // text, so every change of a field that get_state or to_dict writes goes through it.
  template <class Fn>
  decltype(auto) change(Fn&& fn) {
    std::lock_guard lock(mutex_);
    stored_form_.reset();
    dict_form_.reset();
    ++changes_;
    return std::forward<Fn>(fn)();
  }
  template <class Fn>
  decltype(auto) read(Fn&& fn) const {
    std::lock_guard lock(mutex_);
    return std::forward<Fn>(fn)();
  }

  // Writes the members a side adds to the stored form, after the common ones; the lock is held.
  virtual void write_own_state(utils::JsonWriter& out) const = 0;

 private:
  // The stored form's text; the lock is held.
  std::string encode_state() const;
  // The bound client; RuntimeError when there is none.
  std::shared_ptr<networking::Network> bound_client() const;

  const std::filesystem::path path_;
  const std::string name_;
  const std::string owner_;
  const std::string receiver_;
  const std::string id_;
  const Clock clock_;
  mutable std::mutex mutex_;  // guards what follows and the fields the sides add
  std::vector<StatusEntry> history_;              // never empty
  std::shared_ptr<networking::Network> network_;  // may be none
  // The stored form's text, shared with a store write under way; none when it must be made again.
  mutable std::shared_ptr<const std::string> stored_form_;
  // to_dict's text, likewise; and how many changes the record has had, which tells whether one
  // came while the text was made.
  mutable std::shared_ptr<const std::string> dict_form_;
  std::uint64_t changes_ = 0;
};

}  // namespace velmora::job
