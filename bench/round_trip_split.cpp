#include "round_trip_split.hpp"

#include <functional>

#include "velmora/utils/error.hpp"

namespace velmora::bench {
namespace {

using Test = std::function<bool(const Mark&)>;

Test request(const std::string& path, const std::string& device) {
  return [=](const Mark& mark) { return mark.what == "/transfer/" + path && mark.where == device; };
}

Test appeared(const std::string& prefix, const std::string& suffix, const char* folder) {
  return [=](const Mark& mark) {
    return mark.where == folder && mark.what.starts_with(prefix) && mark.what.ends_with(suffix);
  };
}

// Walks the marks of one run by their order of sight.
class Road {
 public:
  explicit Road(const std::vector<Mark>& marks) : marks_(marks) {}

  // The index of the n-th mark (from 1) at or after from that passes test.
  std::size_t nth(int n, const Test& test, std::size_t from = 0) const {
    for (std::size_t i = from; i < marks_.size(); ++i)
      if (test(marks_[i]) && --n == 0) return i;
    throw utils::RuntimeError("a mark of the round trip is missing");
  }
  std::size_t next(const Test& test, std::size_t from) const { return nth(1, test, from); }
  // The index of the last mark before before, and after after, that passes test.
  std::size_t last(const Test& test, std::size_t after, std::size_t before) const {
    for (std::size_t i = before; i-- > after + 1;)
      if (test(marks_[i])) return i;
    throw utils::RuntimeError("a mark of the round trip is missing");
  }
  double time(std::size_t i) const { return marks_[i].time; }

 private:
  const std::vector<Mark>& marks_;
};

}  // namespace

std::vector<Stretch> split_round_trip(const RoadRun& run) {
  const Road road(run.marks);
  const auto status = [&](const char* name) {
    const auto found = run.landing_statuses.find(name);
    if (found == run.landing_statuses.end())
      throw utils::RuntimeError(std::string("the landing has no status ") + name);
    return found->second;
  };
  const std::string& a = run.sender;
  const std::string& b = run.receiver;

  // The submission, from the sender to the receiver.
  const std::size_t a_upload = road.next(request("sendfilereq", a), 0);
  const std::size_t a_uploaded = road.next(request("sendfilecom", a), a_upload);
  const std::size_t b_downloaded = road.next(request("receivefilecom", b), a_uploaded);
  const std::size_t b_download = road.last(request("receivefilereq", b), a_uploaded, b_downloaded);
  // The receiver sends six packages in turn: four statuses, the results, the last status.
  const auto b_sent = [&](int n) { return road.time(road.nth(n, request("sendfilecom", b))); };
  const std::size_t collecting = road.next(appeared("velmora-results-", "", kReceiverTemp), 0);
  const std::size_t packing =
      road.next(appeared("velmora-package-", ".zip", kReceiverTemp), collecting);
  const std::size_t b_upload = road.nth(5, request("sendfilereq", b));
  // The results are the fifth package the sender takes.
  const std::size_t a_downloaded = road.nth(5, request("receivefilecom", a));
  const std::size_t a_download = road.last(request("receivefilereq", a), b_upload, a_downloaded);
  const double filed = road.time(road.next(
      [&](const Mark& mark) {
        return mark.where == kSenderResults && mark.what == run.results_name;
      },
      0));

  return {
      {"sender packs the job folder", Share::transfer, road.time(a_upload) - run.sent_at},
      {"sender uploads it", Share::transfer, road.time(a_uploaded) - road.time(a_upload)},
      {"receiver's file query comes", Share::poll_wait,
       road.time(b_download) - road.time(a_uploaded)},
      {"receiver downloads it", Share::transfer, road.time(b_downloaded) - road.time(b_download)},
      {"receiver opens it, takes the job in", Share::node,
       status("Received") - road.time(b_downloaded)},
      {"report Received", Share::status_report, status("Building Image") - status("Received")},
      {"report Building Image", Share::status_report, b_sent(2) - status("Building Image")},
      {"engine builds the image", Share::engine, status("Building Container") - b_sent(2)},
      {"report Building Container", Share::status_report, b_sent(3) - status("Building Container")},
      {"engine creates, starts the container", Share::engine, status("Running") - b_sent(3)},
      {"report Running", Share::status_report, b_sent(4) - status("Running")},
      {"receiver's container query comes", Share::poll_wait, road.time(collecting) - b_sent(4)},
      {"engine hands over log and changes", Share::engine,
       road.time(packing) - road.time(collecting)},
      {"receiver packs the results", Share::transfer, road.time(b_upload) - road.time(packing)},
      {"receiver uploads them", Share::transfer, b_sent(5) - road.time(b_upload)},
      {"sender's file query comes", Share::poll_wait, road.time(a_download) - b_sent(5)},
      {"sender downloads them", Share::transfer, road.time(a_downloaded) - road.time(a_download)},
      {"sender opens and files them", Share::node, filed - road.time(a_downloaded)},
  };
}

const char* share_name(Share share) {
  switch (share) {
    case Share::transfer:
      return "transfers";
    case Share::poll_wait:
      return "poll waits";
    case Share::engine:
      return "engine";
    case Share::status_report:
      return "status reports";
    case Share::node:
      return "node's own work";
  }
  return "";
}

}  // namespace velmora::bench
