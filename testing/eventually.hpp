#pragma once
// Waiting for a condition in tests: polled until it holds or a deadline passes, never a fixed
// sleep.

#include <chrono>
#include <thread>

namespace velmora::testing {

// Long enough for real work (a node's start, an image build, a job's whole road) on a shared
// machine under load, in a ThreadSanitizer build: a deadline that only a fault passes.
inline constexpr std::chrono::seconds kUnderLoad = std::chrono::minutes(5);

// Whether condition() held within limit (asked every 20 ms).
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = kUnderLoad) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace velmora::testing
