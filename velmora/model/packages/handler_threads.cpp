#include "velmora/model/packages/handler_threads.hpp"

#include <utility>

#include "velmora/model/module_log.hpp"

namespace velmora::model {

HandlerThreads::HandlerThreads(std::size_t max_threads) : max_threads_(max_threads) {}

HandlerThreads::~HandlerThreads() {
  std::unique_lock lock(mutex_);
  // A handler may start others: every thread is joined, also those made while the earlier ones
  // were being joined.
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
  admit({std::move(what), std::move(handler), std::nullopt});
}

void HandlerThreads::start_in_line(const std::string& key, std::string what, Handler handler) {
  std::lock_guard lock(mutex_);
  Work work{std::move(what), std::move(handler), key};
  const auto [line, made] = lines_.try_emplace(key);
  if (!made) {
    line->second.push_back(std::move(work));
    ++pending_;
    return;
  }
  try {
    admit(std::move(work));
  } catch (...) {
    lines_.erase(line);
    throw;
  }
}

bool HandlerThreads::has_room() const {
  std::lock_guard lock(mutex_);
  return pending_ < max_threads_;
}

std::size_t HandlerThreads::running() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

std::size_t HandlerThreads::threads() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

bool HandlerThreads::wait_idle_for(std::chrono::steady_clock::duration grace) const {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, grace, [this] { return pending_ == 0; });
}

void HandlerThreads::admit(Work work) {
  prune();
  waiting_.push_back(std::move(work));
  ++pending_;
  if (live_threads_ >= max_threads_) return;  // a busy thread takes it when free
  const auto self = threads_.emplace(threads_.end());
  try {
    // The new thread touches its entry only under mutex_, which is held until the entry is set.
    self->thread = std::thread(&HandlerThreads::run, this, self);
  } catch (...) {
    threads_.erase(self);
    waiting_.pop_back();  // no thread could take it meanwhile: mutex_ is held
    --pending_;
    throw;
  }
  ++live_threads_;
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

void HandlerThreads::run(Threads::iterator self) {
  std::unique_lock lock(mutex_);
  while (!waiting_.empty()) {
    Work work = std::move(waiting_.front());
    waiting_.pop_front();
    for (;;) {
      lock.unlock();
      run_one(work);
      lock.lock();
      ended_one();
      if (!work.line) break;
      const auto line = lines_.find(*work.line);
      if (line->second.empty()) {
        lines_.erase(line);
        break;
      }
      work = std::move(line->second.front());
      line->second.pop_front();
    }
  }
  --live_threads_;
  self->ended = true;
}

void HandlerThreads::run_one(Work& work) noexcept {
  try {
    work.handler();
  } catch (const std::exception& e) {
    LOG.log_error(utils::log::kError, e, "Handler of %s failed", work.what);
  } catch (...) {
    LOG.error("Handler of %s failed", work.what);
  }
  work.handler = nullptr;  // what it holds goes now, outside the lock
}

void HandlerThreads::ended_one() {
  if (--pending_ == 0) idle_.notify_all();
}

}  // namespace velmora::model
