#pragma once
// Steps of a test that must meet: each runs on a thread of its own.

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace velmora::model {

// Runs the steps on threads of their own that start together from a spin (a barrier wakes them
// too far apart for their tests of a store to meet), and waits for them.
inline void run_together(const std::vector<std::function<void()>>& steps) {
  std::atomic<std::size_t> ready = 0;
  std::vector<std::thread> threads;
  for (const auto& step : steps)
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < steps.size()) {
      }
      step();
    });
  for (std::thread& thread : threads) thread.join();
}

}  // namespace velmora::model
