#include "velmora/model/packages/handler_threads.hpp"

#include "velmora/model/module_log.hpp"

namespace velmora::model {

HandlerThreads::~HandlerThreads() {
  std::unique_lock lock(mutex_);
  // A handler may be running a line that grows no more: every thread is joined, also those made
  // while the earlier ones were being joined.
  while (!threads_.empty()) {
    Threads taken;
    taken.splice(taken.end(), threads_);
    lock.unlock();
    for (Thread& thread : taken) thread.thread.join();
    lock.lock();
  }
}

void HandlerThreads::start(std::string what, Handler handler) {
  std::lock_guard lock(mutex_);
  prune();
  launch({std::move(what), std::move(handler)}, std::nullopt);
  ++running_;
}

void HandlerThreads::start_in_line(const std::string& key, std::string what, Handler handler) {
  std::lock_guard lock(mutex_);
  prune();
  Work work{std::move(what), std::move(handler)};
  const auto [line, made] = lines_.try_emplace(key);
  if (!made) {
    line->second.push_back(std::move(work));
  } else {
    try {
      launch(std::move(work), key);
    } catch (...) {
      lines_.erase(line);
      throw;
    }
  }
  ++running_;
}

std::size_t HandlerThreads::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::size_t HandlerThreads::threads() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

bool HandlerThreads::wait_idle_for(std::chrono::steady_clock::duration grace) const {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, grace, [this] { return running_ == 0; });
}

void HandlerThreads::prune() {
  for (auto thread = threads_.begin(); thread != threads_.end();) {
    if (!thread->ended) {
      ++thread;
      continue;
    }
    thread->thread.join();  // it only returns now
    thread = threads_.erase(thread);
  }
}

void HandlerThreads::launch(Work work, std::optional<std::string> line) {
  const auto self = threads_.emplace(threads_.end());
  try {
    // The new thread touches its entry only under mutex_, which is held until the entry is set.
    self->thread = std::thread(&HandlerThreads::run, this, self, std::move(work), std::move(line));
  } catch (...) {
    threads_.erase(self);
    throw;
  }
}

void HandlerThreads::run(Threads::iterator self, Work work, std::optional<std::string> line) {
  run_one(work);
  std::unique_lock lock(mutex_);
  one_ended();
  while (line) {
    const auto waiting = lines_.find(*line);
    if (waiting->second.empty()) {
      lines_.erase(waiting);
      break;
    }
    work = std::move(waiting->second.front());
    waiting->second.pop_front();
    lock.unlock();
    run_one(work);
    lock.lock();
    one_ended();
  }
  self->ended = true;
}

void HandlerThreads::one_ended() {
  if (--running_ == 0) idle_.notify_all();
}

void HandlerThreads::run_one(const Work& work) noexcept {
  try {
    work.handler();
  } catch (const std::exception& e) {
    LOG.log_error(utils::log::kError, e, "Handler of %s failed", work.what);
  } catch (...) {
    LOG.error("Handler of %s failed", work.what);
  }
}

}  // namespace velmora::model
