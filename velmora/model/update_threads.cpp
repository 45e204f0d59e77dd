#include "velmora/model/update_threads.hpp"

#include "velmora/model/module_log.hpp"

namespace velmora::model {

using device::DeviceStatus;

UpdateThreads::UpdateThreads(std::vector<Task> tasks, StatusReport report)
    : report_(std::move(report)) {
  LOG.info("creating threads");
  for (Task& task : tasks) {
    polls_.push_back(std::make_unique<utils::Poll>(std::move(task.pass), task.interval_seconds));
    names_.push_back(std::move(task.name));
  }
}

UpdateThreads::~UpdateThreads() {
  for (const auto& poll : polls_) poll->kill();
  for (const auto& poll : polls_) poll->join();
}

void UpdateThreads::start() {
  std::lock_guard lock(control_mutex_);
  LOG.info("starting threads");
  if (started_.load() || killed_) {  // killed polls never run again
    LOG.warning("Redundant thread start");
    return;
  }
  for (const auto& poll : polls_) poll->start();
  started_.store(true);
  state_.store(current_state());
  report_(DeviceStatus::ONLINE);
}

void UpdateThreads::pause() {
  std::lock_guard lock(control_mutex_);
  pause_locked();
}

void UpdateThreads::unpause() {
  std::lock_guard lock(control_mutex_);
  unpause_locked();
}

void UpdateThreads::kill() {
  std::lock_guard lock(control_mutex_);
  LOG.info("killing threads");
  end_locked();
  report_(DeviceStatus::OFFLINE);
}

void UpdateThreads::end() {
  std::lock_guard lock(control_mutex_);
  end_locked();
}

void UpdateThreads::while_paused(const std::function<void()>& fn) {
  std::lock_guard lock(control_mutex_);
  pause_locked();
  fn();
  unpause_locked();
}

void UpdateThreads::pause_locked() {
  LOG.info("pausing threads");
  for (const auto& poll : polls_) poll->pause();
  paused_ = true;
  state_.store(current_state());
  report_(DeviceStatus::OFFLINE);
}

void UpdateThreads::unpause_locked() {
  LOG.info("unpausing threads");
  for (const auto& poll : polls_) poll->unpause();
  paused_ = false;
  state_.store(current_state());
  report_(DeviceStatus::ONLINE);
}

void UpdateThreads::end_locked() {
  for (const auto& poll : polls_) poll->kill();
  killed_ = true;
  state_.store(State::killed);
  for (const auto& poll : polls_) poll->join();
}

UpdateThreads::State UpdateThreads::current_state() const {
  if (killed_) return State::killed;
  if (paused_) return State::paused;
  return started_.load() ? State::running : State::made;
}

}  // namespace velmora::model
