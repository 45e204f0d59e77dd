#pragma once
// The labels a node puts on each container it makes for a landing: by them the node tells its own
// containers from those of others on an engine it shares, and touches only its own.

#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::job {

inline constexpr std::string_view kNodeLabel = "velmora.node";  // the node's device id
inline constexpr std::string_view kJobLabel = "velmora.job";    // the landing's job id

// {kNodeLabel: device_id, kJobLabel: job_id}.
inline utils::Value container_labels(std::string_view device_id, std::string_view job_id) {
  return {{kNodeLabel, device_id}, {kJobLabel, job_id}};
}

}  // namespace velmora::job
