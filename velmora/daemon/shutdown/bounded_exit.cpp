#include "velmora/daemon/shutdown/bounded_exit.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "velmora/daemon/module_log.hpp"
#include "velmora/daemon/shutdown/deadline_thread.hpp"
#include "velmora/model/velmora.hpp"

namespace velmora::daemon {

bool wind_down(model::Velmora& node, std::chrono::steady_clock::time_point deadline) {
  DeadlineThread polls([&node] { node.end_threads(); });
  if (!polls.ended_by(deadline)) {
    LOG.warning("A pass of the node's polls still under way at exit is cut off");
    return false;
  }
  const auto left = std::max(deadline - std::chrono::steady_clock::now(),
                             std::chrono::steady_clock::duration::zero());
  if (node.wait_for_handlers(left)) return true;
  LOG.warning(
      "%d package handlers and builds still at work at exit are cut off: their jobs are left to "
      "the next start",
      node.handlers().running() + node.builds().running());
  return false;
}

void end_process_now(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace velmora::daemon
