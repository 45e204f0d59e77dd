#include "velmora/utils/runtime/repeat_limiter.hpp"

namespace velmora::utils {

bool RepeatLimiter::admit(const std::string& text, Clock::time_point now) {
  std::erase_if(let_through_, [&](const auto& entry) { return now - entry.second >= window_; });
  return let_through_.try_emplace(text, now).second;
}

}  // namespace velmora::utils
