#pragma once
// The job status vocabulary: the texts that launches and landings record in their histories, in
// the order of a job's life. A launch also records whatever its landing reports, as it comes.

#include <string_view>

namespace velmora::job::status {

inline constexpr std::string_view kNew = "New";              // every record, when made
inline constexpr std::string_view kSent = "Sent";            // launch: submission sent
inline constexpr std::string_view kReceived = "Received";    // landing: arrived
inline constexpr std::string_view kRejected = "Rejected";    // landing: refused by the node
inline constexpr std::string_view kBuildingImage = "Building Image";
inline constexpr std::string_view kBuildingImageFailed = "Building Image Failed";
inline constexpr std::string_view kBuildingContainer = "Building Container";
inline constexpr std::string_view kBuildingContainerFailed = "Building Container Failed";
inline constexpr std::string_view kRunning = "Running";
inline constexpr std::string_view kStopping = "Stopping";    // launch: stop sent; landing: stopped
inline constexpr std::string_view kStarting = "Starting";    // launch: start sent
inline constexpr std::string_view kStarted = "Started";      // landing: started again
inline constexpr std::string_view kPausing = "Pausing";      // launch: pause sent
inline constexpr std::string_view kPaused = "Paused";        // landing: paused
inline constexpr std::string_view kUnpausing = "Unpausing";  // launch: unpause sent
inline constexpr std::string_view kUnpaused = "Unpaused";    // landing: unpaused
inline constexpr std::string_view kStopped = "Stopped";      // landing: results of a stopped run
inline constexpr std::string_view kComplete = "Complete";    // landing: results of any other run
inline constexpr std::string_view kContainerRemoved = "Container Removed";  // landing: gone

}  // namespace velmora::job::status
