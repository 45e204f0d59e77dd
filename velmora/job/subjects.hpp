#pragma once
// The subjects of the packages that job records send, as the receiving node dispatches them.

#include <string_view>

namespace velmora::job::subject {

inline constexpr std::string_view kJobSubmission = "job_submission";  // launch to landing node
inline constexpr std::string_view kJobUpdate = "job_update";          // landing to launch node
inline constexpr std::string_view kJobResults = "job_results";        // landing to launch node
// The launch's controls, to the landing node.
inline constexpr std::string_view kStopLanding = "stop_landing";
inline constexpr std::string_view kStartLanding = "start_landing";
inline constexpr std::string_view kPauseLanding = "pause_landing";
inline constexpr std::string_view kUnpauseLanding = "unpause_landing";

}  // namespace velmora::job::subject
