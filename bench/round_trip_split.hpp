#pragma once
// One job's round trip cut into the stretches that follow each other from the send on the sender
// to its results filed there, from the marks the bench saw and the statuses the receiver stamped.
// Plain functions of what they are given.

#include <map>
#include <string>
#include <vector>

#include "round_trip_marks.hpp"

namespace velmora::bench {

// The names the watched folders' marks carry.
inline constexpr const char* kReceiverTemp = "receiver temp";
inline constexpr const char* kSenderResults = "sender results";

// What one round trip left to see.
struct RoadRun {
  double sent_at = 0;  // when the sender was asked to send
  std::string sender;  // device ids
  std::string receiver;
  std::string results_name;  // "<job name>_<job id>", the folder filed on the sender
  std::map<std::string, double> landing_statuses;  // the receiver's landing: status → time
  std::vector<Mark> marks;                         // seen since just before the send
};

enum class Share { transfer, poll_wait, engine, status_report, node };

// A stretch of the road; the stretches of one run add up to its whole time.
struct Stretch {
  std::string name;
  Share share;
  double seconds;
};

// The eighteen stretches of the run, in order. RuntimeError when a mark or status is missing.
std::vector<Stretch> split_round_trip(const RoadRun& run);

const char* share_name(Share share);

}  // namespace velmora::bench
