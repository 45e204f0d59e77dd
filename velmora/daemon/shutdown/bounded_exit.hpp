#pragma once
// The end of velmorad after a stop, bounded: everything it waits for (the requests under way,
// the node's update threads, its package handlers) has until one deadline, and what still runs
// then is cut off by ending the process at once, without destructors. An image build can take an
// hour; its landing is left to the next start. The stores are replaced atomically, so what was
// stored stays whole.

#include <chrono>

namespace velmora::model {
class Velmora;
}

namespace velmora::daemon {

// The time from a stop signal to the deadline.
inline constexpr std::chrono::seconds kStopGrace{10};

// Ends node's update threads (no status report) and waits for its package handlers, each until
// deadline. True when nothing of the node runs any more, so that it may be destroyed; otherwise
// logs what it leaves running, which the node must outlive: the process must then end with
// end_process_now.
bool wind_down(model::Velmora& node, std::chrono::steady_clock::time_point deadline);

// Ends the process with status at once, standard output and error flushed, without running any
// destructor, exit handler or static destructor: a thread left running may still use the node
// object or a static object (a logger, the HTTP client's state), which must not go under it.
[[noreturn]] void end_process_now(int status);

}  // namespace velmora::daemon
