#pragma once
// What a flood of packages can make the node hold at once. Past a bound nothing is refused: the
// work waits, where an exit loses nothing.

#include <cstddef>

namespace velmora::model {

// Handlers of received packages running or waiting at once. While as many are pending, the
// file-query pass takes no further package: the others wait at the backend, in arrival order.
inline constexpr std::size_t kHandlerThreads = 16;

// Landings built (image, container and start) at once. The others wait, stored as "Received",
// in arrival order; a restart takes them up.
inline constexpr std::size_t kConcurrentBuilds = 2;

}  // namespace velmora::model
