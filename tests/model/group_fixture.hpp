#pragma once
// The group protocol between three devices on the fake backend: A (kDeviceId), B (kPeerId) and C
// (kThirdId), each a GroupNode with its five group stores in a folder of its own. What the
// backend took, group-service calls and package sends in one order, and what the stores hold are
// read as short lines in which each device is named by its letter.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/networking/backend_fixture.hpp"
#include "velmora/model/groups/group_protocol.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::model {

inline const std::string kThirdId = "c3c3c3c3-1111-4222-8333-444455556666";

using Lines = std::vector<std::string>;

// The device id text of "A", "B" or "C"; any other text is taken as an id already.
std::string id_of(const std::string& device);

// What a node's group stores hold, entry by entry in store order: groups "<name>: <desc>";
// invitations and requests "<group>: <status>" (member side) or "<group>/<device>: <status>"
// (owner side); removals and groups marked as created "<group>".
struct GroupState {
  Lines groups = {};
  Lines invitations = {};
  Lines requests = {};
  Lines removals = {};
  Lines owned = {};
  friend bool operator==(const GroupState&, const GroupState&) = default;
};
void PrintTo(const GroupState& state, std::ostream* out);

// A store's name ("groups", "group_invitations", "group_requests", "group_removals",
// "owned_groups") to how often
// it was written back, listing only the stores written.
using Writes = std::map<std::string, std::size_t>;

// The text of the error that call throws; "nothing" when it throws none.
std::string thrown_by(const std::function<void()>& call);

// The sender's id of a package from device "A", "B" or "C".
utils::Bytes from(const std::string& device);

// One device's side: its stores and its protocol.
class GroupNode {
 public:
  GroupNode(std::shared_ptr<networking::Network> network, const std::filesystem::path& folder);

  GroupProtocol& protocol() { return protocol_; }
  networking::Network& network() { return *network_; }

  // Puts the entries of state in place without writing any store back.
  void preset(const GroupState& state);
  GroupState state();
  Writes writes();

  // Takes every package waiting for this device and hands each to its handler, as the dispatcher
  // does, one after another; returns their subjects in the order they came.
  Lines dispatch();

 private:
  std::shared_ptr<networking::Network> network_;
  Store<Groups> groups_;
  Store<GroupEntries> group_invitations_;
  Store<GroupEntries> group_requests_;
  Store<GroupNames> group_removals_;
  Store<GroupNames> owned_groups_;
  GroupProtocol protocol_;
};

// A step of the protocol on a node; a handler's step answers true.
using GroupStep = std::function<bool(GroupProtocol&)>;

// One step of the protocol on a node, and what it must answer, change, write, call, send and log.
struct GroupCase {
  const char* name;
  std::string device = "A";             // whose node takes the step
  std::function<void()> setup = {};     // at the backend, before; what it does is not checked
  GroupState before = {};
  GroupStep step;
  bool answer = true;
  std::string error = {};               // the start of the text of what the step throws, if any
  std::optional<GroupState> after = {};  // none: as before
  Writes writes = {};
  Lines steps = {};                     // GroupFixture::steps
  Lines logged = {};                    // GroupFixture::logged
};

class GroupFixture : public networking::BackendFixture {
 protected:
  GroupFixture();

  // Runs each case on a fresh node and checks it, then forgets the groups "crew", "other" and
  // "mine".
  void run(const std::vector<GroupCase>& cases);

  // Device owner creates the group at the backend (description "GPU").
  void owns(const std::string& owner, const std::string& group = "crew");
  // The owner adds the member and the member joins.
  void joins(const std::string& member, const std::string& group = "crew",
             const std::string& owner = "A");
  // The backend refuses the next package send.
  void refuse_next_send();

  // A node of device "A", "B" or "C" whose stores lie in a fresh folder name.
  std::unique_ptr<GroupNode> make_node(const std::string& device, const std::string& name);
  // The client of device "A", "B" or "C".
  networking::Network& client(const std::string& device);

  // What the backend took since the last call: "A sync crew", "A add crew [B]" (a call;
  // "... refused" when refused), "A -> B group_invitation crew" (a package and its label "group").
  Lines steps();
  // The group ends at the backend (destroyed by whichever device owns it, when it exists), every
  // queue is emptied and the steps so far are let go: a fresh start for the next case.
  void forget(const std::string& group);

  // The lines logged on "velmora.model" since the last call: "INFO:Group list appended".
  Lines logged();

 private:
  std::shared_ptr<device::LocalDevice> third_device_;
  std::map<std::string, std::shared_ptr<networking::Network>> clients_;  // by letter
  std::size_t steps_seen_ = 0;
  utils::log::LogCapture log_{"velmora.model"};
  std::size_t lines_seen_ = 0;
};

}  // namespace velmora::model
