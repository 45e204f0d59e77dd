#include "velmora/job/job.hpp"

#include <sys/random.h>

#include <array>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "velmora/job/job_status.hpp"
#include "velmora/job/stored_state.hpp"
#include "velmora/networking/package/package_label.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/text/hex.hpp"

namespace velmora::job {
namespace {

using utils::Value;

// Enough for the stored form of a record with a long history, in one piece.
constexpr std::size_t kStoredFormChunk = 1024;

std::vector<StatusEntry> read_history(simdjson::dom::object state) {
  simdjson::dom::element found;
  simdjson::dom::array entries;
  if (!utils::last_member(state, "status_history", found) || found.get_array().get(entries) ||
      entries.size() == 0)
    throw utils::ValueError("a stored job record's \"status_history\" is no list of entries");
  std::vector<StatusEntry> history;
  history.reserve(entries.size());
  for (const simdjson::dom::element entry : entries) {
    simdjson::dom::array pair;
    std::string_view status, time;
    if (entry.get_array().get(pair) || pair.size() != 2 || pair.at(0).get(status) ||
        pair.at(1).get(time))
      throw utils::ValueError(
          "a stored job record's \"status_history\" holds an entry other than [status, time]");
    history.emplace_back(status, time);
  }
  return history;
}

}  // namespace

double system_clock_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Job::_make_id() {
  std::array<std::uint8_t, 16> uuid{};
  std::size_t filled = 0;
  while (filled < uuid.size()) {  // the kernel's random source; blocks only before it is seeded
    const ssize_t got = ::getrandom(uuid.data() + filled, uuid.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw utils::RuntimeError("no random bytes for a job id: " + std::string(std::strerror(errno)));
    }
    filled += static_cast<std::size_t>(got);
  }
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  return utils::hex_digits({reinterpret_cast<const char*>(uuid.data()), uuid.size()});
}

Job::Job(std::filesystem::path path, std::string name, std::string owner, std::string receiver,
         std::shared_ptr<networking::Network> network, const std::optional<std::string>& id,
         Clock clock)
    : path_(std::move(path)),
      name_(std::move(name)),
      owner_(std::move(owner)),
      receiver_(std::move(receiver)),
      id_(id && !id->empty() ? *id : _make_id()),
      clock_(std::move(clock)),
      network_(std::move(network)) {
  if (!clock_) throw utils::ValueError("a job record needs a clock");
  set_status(status::kNew);
}

Job::Job(simdjson::dom::object state)
    : path_(stored_state::text(state, "path")),
      name_(stored_state::text(state, "name")),
      owner_(stored_state::text(state, "owner")),
      receiver_(stored_state::text(state, "receiver")),
      id_(stored_state::text(state, "id")),
      clock_(system_clock_seconds),
      history_(read_history(state)) {}

std::string Job::status() const {
  return read([&] { return history_.back().first; });
}

void Job::set_status(std::string_view status) {
  change([&] {
    history_.emplace_back(status, networking::package::sent_time_text(clock_()));
  });
}

std::vector<StatusEntry> Job::status_history() const {
  return read([&] { return history_; });
}

std::shared_ptr<networking::Network> Job::network() const {
  return read([&] { return network_; });
}

void Job::bind(std::shared_ptr<networking::Network> network) {
  std::lock_guard lock(mutex_);
  network_ = std::move(network);
}

Value Job::to_dict() const {
  Value dict = {{"path", path_.string()}, {"name", name_}, {"owner", owner_},
                {"receiver", receiver_},  {"id", id_}};
  read([&] {
    dict["status"] = history_.back().first;
    Value& history = dict["status_history"] = Value::array();
    for (const auto& [status, time] : history_) history.push_back(Value::array({status, time}));
  });
  return dict;
}

std::shared_ptr<const std::string> Job::dict_text() const {
  std::uint64_t seen = 0;
  {
    std::lock_guard lock(mutex_);
    if (dict_form_) return dict_form_;
    seen = changes_;
  }
  // Made outside the lock, which to_dict takes; kept only when no change came meanwhile.
  auto text = std::make_shared<const std::string>(utils::answer_json(to_dict()));
  std::lock_guard lock(mutex_);
  if (changes_ == seen) dict_form_ = text;
  return text;
}

void Job::get_state(utils::JsonWriter& out) const {
  // Written out after the lock is let go: the writer may be writing to the store file.
  const std::shared_ptr<const std::string> state = read([&] {
    if (!stored_form_) stored_form_ = std::make_shared<const std::string>(encode_state());
    return stored_form_;
  });
  out.json(*state);
}

std::string Job::encode_state() const {
  std::string encoded;
  utils::JsonWriter state([&](std::string_view text) { encoded += text; }, kStoredFormChunk);
  state.begin_mapping();
  for (const auto& [key, text] : {std::pair{"path", &path_.native()}, {"name", &name_},
                                  {"owner", &owner_}, {"receiver", &receiver_}, {"id", &id_}}) {
    state.key(key);
    state.text(*text);
  }
  state.key("status_history");
  state.begin_list();
  for (const auto& [status, time] : history_) {
    state.begin_list();
    state.text(status);
    state.text(time);
    state.end_list();
  }
  state.end_list();
  write_own_state(state);
  state.end_mapping();
  state.flush();
  return encoded;
}

void Job::send_package(const std::string& dest, std::string_view subject,
                       const std::filesystem::path& attachment, const Value& labels) const {
  bound_client()->send_pkg(dest, std::string(subject), attachment, labels);
}

std::filesystem::path Job::temp_folder() const { return bound_client()->temp_folder(); }

std::string Job::own_device_id() const {
  return utils::b2s(bound_client()->local_device()->uuid());
}

std::shared_ptr<networking::Network> Job::bound_client() const {
  std::shared_ptr<networking::Network> client = network();
  if (!client)
    throw utils::RuntimeError("job " + id_ + " is bound to no backend client and cannot send");
  return client;
}

}  // namespace velmora::job
