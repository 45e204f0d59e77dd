// The landing record: construction, its stored form, the engine lookups, status reports and the
// container controls.
#include "velmora/job/lander.hpp"

#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/job/job_status.hpp"
#include "velmora/job/stored_state.hpp"
#include "velmora/job/subjects.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::job {

using boxwright::engine::EngineClient;

Lander::Lander(std::filesystem::path path, std::string name, std::string owner,
               std::string receiver, std::shared_ptr<networking::Network> network,
               const std::optional<std::string>& id, bool update_recvd, Clock clock)
    : Job(std::move(path), std::move(name), std::move(owner), std::move(receiver),
          std::move(network), id, std::move(clock)) {
  if (update_recvd) update_status(status::kReceived);
}

Lander::Lander(simdjson::dom::object state)
    : Job(state),
      img_id_(stored_state::text_or_none(state, "img_id")),
      cntr_id_(stored_state::text_or_none(state, "cntr_id")) {}

std::shared_ptr<Lander> Lander::from_state(simdjson::dom::element state) {
  return std::shared_ptr<Lander>(new Lander(stored_state::record(state)));
}

std::optional<std::string> Lander::img_id() const {
  return read([&] { return img_id_; });
}

std::optional<std::string> Lander::cntr_id() const {
  return read([&] { return cntr_id_; });
}

std::optional<boxwright::Container> Lander::cntr() const {
  const std::optional<std::string> id = cntr_id();
  if (!id || id->empty()) return std::nullopt;
  return boxwright::get_container(*id);
}

std::optional<boxwright::Image> Lander::img() const {
  const std::optional<std::string> id = img_id();
  if (!id || id->empty()) return std::nullopt;
  return boxwright::get_image(*id);
}

void Lander::set_cntr(const boxwright::Container& cntr) {
  change([&] { cntr_id_ = cntr.id; });
}

void Lander::set_img(const boxwright::Image& img) {
  change([&] { img_id_ = img.id; });
}

void Lander::update_status(std::string_view status) {
  set_status(status);
  // The status just written is the one reported, whatever another thread wrote since.
  send_package(owner(), subject::kJobUpdate, {}, {{"job_id", id()}, {"status", status}});
}

boxwright::Container Lander::built_cntr(std::string_view action) const {
  std::optional<boxwright::Container> container = cntr();
  if (!container)
    throw utils::RuntimeError("Could not " + std::string(action) +
                              "; container not built for job " + id());
  return std::move(*container);
}

template <class Act>
void Lander::control(std::string_view word, std::string_view status, Act act) {
  const boxwright::Container container = built_cntr(word);
  act(EngineClient::from_env(), container.id);
  update_status(status);
}

void Lander::stop() {
  control("stop", status::kStopping,
          [](const EngineClient& engine, const std::string& id) { engine.stop_container(id); });
}

void Lander::start() {
  control("start", status::kStarted,
          [](const EngineClient& engine, const std::string& id) { engine.start_container(id); });
}

void Lander::pause() {
  control("pause", status::kPaused,
          [](const EngineClient& engine, const std::string& id) { engine.pause_container(id); });
}

void Lander::unpause() {
  control("unpause", status::kUnpaused, [](const EngineClient& engine, const std::string& id) {
    engine.unpause_container(id);
  });
}

void Lander::write_own_state(utils::JsonWriter& out) const {
  stored_state::write_text_or_none(out, "img_id", img_id_);
  stored_state::write_text_or_none(out, "cntr_id", cntr_id_);
}

}  // namespace velmora::job
