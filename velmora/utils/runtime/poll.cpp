#include "velmora/utils/runtime/poll.hpp"

#include <sstream>
#include <string>

#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::utils {
namespace {

using Clock = std::chrono::steady_clock;

// Far below the clock's range, so that now() + interval never overflows.
Clock::duration checked_interval(double seconds) {
  Poll::check_interval(seconds);
  return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

void Poll::check_interval(double seconds, std::string_view what) {
  if (seconds > 0 && seconds <= kMaxIntervalSeconds) return;
  std::ostringstream text;
  text << seconds;
  throw ValueError(std::string(what) + " must be a positive number of seconds up to 1e9, got " +
                   text.str());
}

Poll::Poll(std::function<void()> fn, double interval_seconds)
    : fn_(std::move(fn)), interval_(checked_interval(interval_seconds)) {
  if (!fn_) throw ValueError("Poll needs a function to call");
}

Poll::~Poll() {
  kill();
  join();
}

void Poll::start() {
  std::lock_guard lock(mutex_);
  if (started_ || killed_) return;
  thread_ = std::thread(&Poll::run, this);  // run() waits for the lock, so worker_ is set first
  worker_ = thread_.get_id();
  started_ = true;
}

void Poll::pause() {
  std::unique_lock lock(mutex_);
  paused_ = true;
  if (std::this_thread::get_id() == worker_) return;
  changed_.wait(lock, [&] { return !running_; });
}

void Poll::unpause() {
  std::lock_guard lock(mutex_);
  paused_ = false;
  changed_.notify_all();
}

void Poll::kill() {
  std::lock_guard lock(mutex_);
  killed_ = true;
  changed_.notify_all();
}

void Poll::join() {
  std::unique_lock lock(mutex_);
  if (!started_ || (finished_ && !thread_.joinable())) return;  // none, or joined before
  if (std::this_thread::get_id() == worker_)
    throw RuntimeError("a poll cannot join its own thread");
  changed_.wait(lock, [&] { return finished_; });
  if (thread_.joinable()) thread_.join();  // the thread only returns now; it takes no more locks
  worker_ = {};  // a later thread may be given its id
}

void Poll::run() {
  std::unique_lock lock(mutex_);
  auto next = Clock::now() + interval_;
  for (;;) {
    if (changed_.wait_until(lock, next, [&] { return killed_; })) break;
    changed_.wait(lock, [&] { return killed_ || !paused_; });
    if (killed_) break;
    running_ = true;
    lock.unlock();
    run_pass();
    lock.lock();
    running_ = false;
    changed_.notify_all();
    next = Clock::now() + interval_;
  }
  finished_ = true;
  changed_.notify_all();
}

void Poll::run_pass() noexcept {
  try {
    fn_();
  } catch (const std::exception& e) {
    if (failures_logged_.admit(e.what(), Clock::now()))
      log::get_logger("velmora.utils").log_error(log::kError, e, "Poll pass failed");
  } catch (...) {
    if (failures_logged_.admit("", Clock::now()))
      log::get_logger("velmora.utils").error("Poll pass failed with an exception of unknown type");
  }
}

}  // namespace velmora::utils
