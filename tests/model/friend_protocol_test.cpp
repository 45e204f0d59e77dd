#include "velmora/model/friends/friend_protocol.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "run_together.hpp"
#include "tests/networking/backend_fixture.hpp"
#include "velmora/model/friends/friend_subjects.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;
using networking::kDeviceId;
using networking::kPeerId;
using utils::Bytes;

// A set's name to its members, listing only the sets that hold any.
using Contents = std::map<std::string, DeviceIds>;
// A set's name to how often it was written back, listing only the sets written.
using Writes = std::map<std::string, std::size_t>;

constexpr std::array<const char*, 6> kSetNames{"friends",           "inbound_requests",
                                               "pending_requests",  "accepted_requests",
                                               "rejected_requests", "friend_removals"};

Bytes id(std::string_view text) { return utils::s2b(text); }

// What the store file holds.
DeviceIds on_file(const fs::path& file) {
  return FriendSet(file, [] { return DeviceIds{}; }).snapshot();
}

// The backend refuses the next package send.
void refuse_next_send(testing::FakeBackend& backend) {
  backend.server().script("/transfer/sendfilereq",
                          testing::FakeBackend::backend_answer(
                              {{"valid", false}, {"code", 5}, {"msg", "refused"}}));
}
const Bytes kPeer = id(kPeerId);

// One node's friend side: its six stores in a folder of its own and its protocol.
class FriendNode {
 public:
  FriendNode(std::shared_ptr<networking::Network> network, const fs::path& folder)
      : network_(network),
        friends_(folder / "friends.bin", empty),
        inbound_requests_(folder / "inbound_requests.bin", empty),
        pending_requests_(folder / "pending_requests.bin", empty),
        accepted_requests_(folder / "accepted_requests.bin", empty),
        rejected_requests_(folder / "rejected_requests.bin", empty),
        friend_removals_(folder / "friend_removals.bin", empty),
        protocol_(std::move(network), {friends_, inbound_requests_, pending_requests_,
                                      accepted_requests_, rejected_requests_, friend_removals_}) {}

  FriendProtocol& protocol() { return protocol_; }

  FriendSet& set(std::string_view name) {
    const std::array<FriendSet*, 6> sets{&friends_,           &inbound_requests_,
                                         &pending_requests_,  &accepted_requests_,
                                         &rejected_requests_, &friend_removals_};
    for (std::size_t i = 0; i < kSetNames.size(); ++i)
      if (name == kSetNames[i]) return *sets[i];
    throw std::invalid_argument("no friend set " + std::string(name));
  }

  // Puts the members in place without writing any set back.
  void preset(const Contents& contents) {
    for (const auto& [name, ids] : contents) set(name).with([&](DeviceIds& held) { held = ids; });
  }

  Contents contents() {
    Contents found;
    for (const char* name : kSetNames)
      if (DeviceIds ids = set(name).snapshot(); !ids.empty()) found[name] = std::move(ids);
    return found;
  }

  Writes writes() {
    Writes found;
    for (const char* name : kSetNames)
      if (const std::size_t count = set(name).dump_count()) found[name] = count;
    return found;
  }

  // Takes every package waiting for this node and hands each to its handler, as the dispatcher
  // does; returns their subjects in the order they came.
  std::vector<std::string> dispatch() {
    std::vector<std::string> subjects;
    for (const networking::ReceivedPackage& package : networking::waiting_packages(*network_)) {
      const std::string subject = package.label.at("subject");
      const Bytes origin = utils::s2b(package.label.at("origin").get<std::string>());
      if (subject == subject::kFriendRequest) protocol().handle_friend_request(origin);
      if (subject == subject::kFriendAccept) protocol().handle_friend_accept(origin);
      if (subject == subject::kFriendReject) protocol().handle_friend_reject(origin);
      if (subject == subject::kFriendRemove) protocol().handle_friend_remove(origin);
      subjects.push_back(subject);
    }
    return subjects;
  }

 private:
  static DeviceIds empty() { return {}; }

  std::shared_ptr<networking::Network> network_;
  FriendSet friends_;
  FriendSet inbound_requests_;
  FriendSet pending_requests_;
  FriendSet accepted_requests_;
  FriendSet rejected_requests_;
  FriendSet friend_removals_;
  FriendProtocol protocol_;
};

// This node (kDeviceId) and the other device (kPeerId), whose client takes what this node sent.
class FriendProtocolTest : public networking::BackendFixture {
 protected:
  FriendProtocolTest() : peer_network_(make_peer_network()) {
    fs::create_directory(folder_.path() / "node");
    node_ = std::make_unique<FriendNode>(make_network(), folder_.path() / "node");
  }

  // The subjects of the packages that reached the peer, in order. Each came from this node to
  // the peer, with the base label keys only and no attachment.
  std::vector<std::string> sent_to_peer() {
    std::vector<std::string> subjects;
    for (const auto& package : networking::waiting_packages(*peer_network_)) {
      std::vector<std::string> keys;
      for (const auto& [key, value] : package.label.items()) keys.push_back(key);
      EXPECT_EQ(keys, (std::vector<std::string>{"origin", "dest", "subject", "sent_time"}));
      EXPECT_EQ(package.label.at("origin"), kDeviceId);
      EXPECT_EQ(package.label.at("dest"), kPeerId);
      EXPECT_FALSE(package.attachment);
      subjects.push_back(package.label.value("subject", ""));
    }
    return subjects;
  }

  std::unique_ptr<networking::Network> peer_network_;
  std::unique_ptr<FriendNode> node_;
};

using Operation = bool (FriendProtocol::*)(const Bytes&);
using Handler = void (FriendProtocol::*)(const Bytes&);

struct OperationCase {
  const char* name;
  Operation operation;
  Contents before;
  bool answer;
  Contents after;
  Writes writes;
  std::vector<std::string> sent;
};

TEST_F(FriendProtocolTest, OperationsAnswerChangeWriteAndSendAsTheStepsSay) {
  using P = FriendProtocol;
  const DeviceIds peer{kPeer};
  const std::vector<OperationCase> cases{
      {"request to a stranger", &P::send_friend_request, {}, true,
       {{"pending_requests", peer}}, {{"pending_requests", 1}}, {"friend_request"}},
      {"request after a rejection", &P::send_friend_request, {{"rejected_requests", peer}}, true,
       {{"pending_requests", peer}}, {{"rejected_requests", 1}, {"pending_requests", 1}},
       {"friend_request"}},
      {"request after a removal", &P::send_friend_request, {{"friend_removals", peer}}, true,
       {{"pending_requests", peer}}, {{"friend_removals", 1}, {"pending_requests", 1}},
       {"friend_request"}},
      {"request to one's own friend", &P::send_friend_request, {{"friends", peer}}, true,
       {{"friends", peer}, {"pending_requests", peer}}, {{"pending_requests", 1}},
       {"friend_request"}},
      {"request while pending", &P::send_friend_request, {{"pending_requests", peer}}, false,
       {{"pending_requests", peer}}, {}, {}},
      {"request while accepted", &P::send_friend_request, {{"accepted_requests", peer}}, false,
       {{"accepted_requests", peer}}, {}, {}},
      {"declare one who asked", &P::declare_friend, {{"inbound_requests", peer}}, true,
       {{"friends", peer}}, {{"friends", 1}, {"inbound_requests", 1}}, {"friend_accept"}},
      {"declare one who never asked", &P::declare_friend, {}, true, {{"friends", peer}},
       {{"friends", 1}}, {"friend_accept"}},
      {"declare a friend again", &P::declare_friend,
       {{"friends", peer}, {"inbound_requests", peer}}, false,
       {{"friends", peer}, {"inbound_requests", peer}}, {}, {}},
      {"reject a waiting request", &P::reject_friend, {{"inbound_requests", peer}}, true, {},
       {{"inbound_requests", 1}}, {"friend_reject"}},
      {"reject a friend who does not wait", &P::reject_friend, {{"friends", peer}}, false,
       {{"friends", peer}}, {}, {}},
      {"remove a friend", &P::remove_friend, {{"friends", peer}, {"inbound_requests", peer}}, true,
       {{"inbound_requests", peer}}, {{"friends", 1}}, {"friend_remove"}},
      {"remove one who is no friend", &P::remove_friend, {{"inbound_requests", peer}}, false,
       {{"inbound_requests", peer}}, {}, {}},
      {"accept one who never asked", &P::accept_friend_request, {}, true, {}, {},
       {"friend_accept"}},
  };
  for (const OperationCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directory(folder_.path() / c.name);
    FriendNode node(make_network(), folder_.path() / c.name);
    node.preset(c.before);
    EXPECT_EQ((node.protocol().*c.operation)(kPeer), c.answer);
    EXPECT_EQ(node.contents(), c.after);
    EXPECT_EQ(node.writes(), c.writes);
    EXPECT_EQ(sent_to_peer(), c.sent);
  }
}

struct HandlerCase {
  const char* name;
  Handler handler;
  Contents before;
  Contents after;
  Writes writes;
  std::vector<std::string> sent;
};

TEST_F(FriendProtocolTest, HandlersChangeWriteAndAnswerAsTheStepsSay) {
  using P = FriendProtocol;
  const DeviceIds peer{kPeer};
  const std::vector<HandlerCase> cases{
      {"request from a friend", &P::handle_friend_request, {{"friends", peer}},
       {{"friends", peer}}, {}, {"friend_accept"}},
      {"request from a stranger", &P::handle_friend_request, {}, {{"inbound_requests", peer}},
       {{"inbound_requests", 1}}, {}},
      {"request from one who waits", &P::handle_friend_request, {{"inbound_requests", peer}},
       {{"inbound_requests", peer}}, {}, {}},
      {"accept unasked", &P::handle_friend_accept, {}, {{"accepted_requests", peer}},
       {{"accepted_requests", 1}}, {}},
      {"accept while pending", &P::handle_friend_accept, {{"pending_requests", peer}},
       {{"accepted_requests", peer}}, {{"pending_requests", 1}, {"accepted_requests", 1}}, {}},
      {"accept after a rejection", &P::handle_friend_accept, {{"rejected_requests", peer}},
       {{"rejected_requests", peer}, {"accepted_requests", peer}}, {{"accepted_requests", 1}}, {}},
      {"accept after a removal", &P::handle_friend_accept, {{"friend_removals", peer}},
       {{"accepted_requests", peer}}, {{"friend_removals", 1}, {"accepted_requests", 1}}, {}},
      {"accept when accepted already", &P::handle_friend_accept, {{"accepted_requests", peer}},
       {{"accepted_requests", peer}}, {{"accepted_requests", 1}}, {}},
      {"reject while pending", &P::handle_friend_reject, {{"pending_requests", peer}},
       {{"rejected_requests", peer}}, {{"pending_requests", 1}, {"rejected_requests", 1}}, {}},
      {"reject unasked", &P::handle_friend_reject, {}, {}, {}, {}},
      {"reject when accepted", &P::handle_friend_reject, {{"accepted_requests", peer}},
       {{"accepted_requests", peer}}, {}, {}},
      {"remove when accepted", &P::handle_friend_remove, {{"accepted_requests", peer}},
       {{"friend_removals", peer}}, {{"accepted_requests", 1}, {"friend_removals", 1}}, {}},
      {"remove while pending", &P::handle_friend_remove, {{"pending_requests", peer}},
       {{"pending_requests", peer}}, {}, {}},
  };
  for (const HandlerCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directory(folder_.path() / c.name);
    FriendNode node(make_network(), folder_.path() / c.name);
    node.preset(c.before);
    (node.protocol().*c.handler)(kPeer);
    EXPECT_EQ(node.contents(), c.after);
    EXPECT_EQ(node.writes(), c.writes);
    EXPECT_EQ(sent_to_peer(), c.sent);
  }
}

TEST_F(FriendProtocolTest, TheSameRequestTwiceIsHeldOnceAndWrittenOnce) {
  node_->protocol().handle_friend_request(kPeer);
  node_->protocol().handle_friend_request(kPeer);
  EXPECT_EQ(node_->contents(), (Contents{{"inbound_requests", {kPeer}}}));
  EXPECT_EQ(node_->writes(), (Writes{{"inbound_requests", 1}}));
  // What was written is what is held.
  EXPECT_EQ(on_file(node_->set("inbound_requests").file()), DeviceIds{kPeer});
}

TEST_F(FriendProtocolTest, AFailedSendChangesNothingButADeclaredFriend) {
  const Contents waiting{{"inbound_requests", {kPeer}}};
  const Contents befriended{{"friends", {kPeer}}, {"inbound_requests", {kPeer}}};
  const std::vector<std::pair<Operation, Contents>> sends_first{
      {&FriendProtocol::send_friend_request, {{"rejected_requests", {kPeer}}}},
      {&FriendProtocol::reject_friend, waiting},
      {&FriendProtocol::remove_friend, {{"friends", {kPeer}}}},
  };
  for (const auto& [operation, before] : sends_first) {
    node_->preset(before);
    refuse_next_send(backend_);
    EXPECT_THROW((node_->protocol().*operation)(kPeer), networking::ValidityError);
    EXPECT_EQ(node_->contents(), before);
    node_->preset({{"friends", {}}, {"inbound_requests", {}}, {"rejected_requests", {}}});
  }
  EXPECT_EQ(node_->writes(), Writes{});

  // The friend is recorded and written before it is told; its request stays.
  node_->preset(waiting);
  refuse_next_send(backend_);
  EXPECT_THROW(node_->protocol().declare_friend(kPeer), networking::ValidityError);
  EXPECT_EQ(node_->contents(), befriended);
  EXPECT_EQ(node_->writes(), (Writes{{"friends", 1}}));
  EXPECT_FALSE(node_->protocol().declare_friend(kPeer));
  EXPECT_TRUE(sent_to_peer().empty());
}

TEST_F(FriendProtocolTest, ABackendClientIsRequired) {
  FriendSet& set = node_->set("friends");
  EXPECT_THROW(FriendProtocol(nullptr, {set, set, set, set, set, set}), utils::ValueError);
}

// Node A (kDeviceId) and node B (kPeerId), each with its own stores; packages reach the other
// node's handlers when it dispatches.
class FriendHandshakeTest : public networking::BackendFixture {
 protected:
  FriendHandshakeTest() {
    fs::create_directory(folder_.path() / "a");
    fs::create_directory(folder_.path() / "b");
    a_ = std::make_unique<FriendNode>(make_network(), folder_.path() / "a");
    b_ = std::make_unique<FriendNode>(make_peer_network(), folder_.path() / "b");
  }

  const Bytes a_id_ = id(kDeviceId);
  const Bytes b_id_ = id(kPeerId);
  std::unique_ptr<FriendNode> a_;
  std::unique_ptr<FriendNode> b_;
};

TEST_F(FriendHandshakeTest, AAsksBDeclaresBRemovesAndAAsksAgain) {
  ASSERT_TRUE(a_->protocol().send_friend_request(b_id_));
  EXPECT_EQ(b_->dispatch(), std::vector<std::string>{"friend_request"});
  EXPECT_EQ(b_->contents(), (Contents{{"inbound_requests", {a_id_}}}));

  ASSERT_TRUE(b_->protocol().declare_friend(a_id_));
  EXPECT_EQ(b_->contents(), (Contents{{"friends", {a_id_}}}));
  EXPECT_EQ(a_->dispatch(), std::vector<std::string>{"friend_accept"});
  EXPECT_EQ(a_->contents(), (Contents{{"accepted_requests", {b_id_}}}));

  ASSERT_TRUE(b_->protocol().remove_friend(a_id_));
  EXPECT_EQ(b_->contents(), Contents{});
  EXPECT_EQ(a_->dispatch(), std::vector<std::string>{"friend_remove"});
  EXPECT_EQ(a_->contents(), (Contents{{"friend_removals", {b_id_}}}));

  // Asked again, B rejects; A may then ask once more.
  ASSERT_TRUE(a_->protocol().send_friend_request(b_id_));
  EXPECT_EQ(a_->contents(), (Contents{{"pending_requests", {b_id_}}}));
  EXPECT_EQ(b_->dispatch(), std::vector<std::string>{"friend_request"});
  ASSERT_TRUE(b_->protocol().reject_friend(a_id_));
  EXPECT_EQ(a_->dispatch(), std::vector<std::string>{"friend_reject"});
  EXPECT_EQ(a_->contents(), (Contents{{"rejected_requests", {b_id_}}}));
  EXPECT_EQ(b_->contents(), Contents{});
  EXPECT_TRUE(a_->protocol().send_friend_request(b_id_));
}

// B declares A, but A is never told; A's request then learns it at once.
TEST_F(FriendHandshakeTest, ARequestToAFriendIsAcceptedAtOnce) {
  refuse_next_send(backend_);
  EXPECT_THROW(b_->protocol().declare_friend(a_id_), networking::ValidityError);
  EXPECT_TRUE(a_->dispatch().empty());

  ASSERT_TRUE(a_->protocol().send_friend_request(b_id_));
  EXPECT_EQ(b_->dispatch(), std::vector<std::string>{"friend_request"});
  EXPECT_EQ(b_->contents(), (Contents{{"friends", {a_id_}}}));
  EXPECT_EQ(b_->writes(), (Writes{{"friends", 1}}));
  EXPECT_EQ(a_->dispatch(), std::vector<std::string>{"friend_accept"});
  EXPECT_EQ(a_->contents(), (Contents{{"accepted_requests", {b_id_}}}));
}

TEST_F(FriendHandshakeTest, TwoNodesThatDeclareEachOtherAreMutualFriends) {
  ASSERT_TRUE(a_->protocol().declare_friend(b_id_));
  ASSERT_TRUE(b_->protocol().declare_friend(a_id_));
  EXPECT_EQ(a_->dispatch(), std::vector<std::string>{"friend_accept"});
  EXPECT_EQ(b_->dispatch(), std::vector<std::string>{"friend_accept"});
  EXPECT_EQ(a_->contents(), (Contents{{"friends", {b_id_}}, {"accepted_requests", {b_id_}}}));
  EXPECT_EQ(b_->contents(), (Contents{{"friends", {a_id_}}, {"accepted_requests", {a_id_}}}));
}

// A declaration and a request of the same device, at the same time: whichever comes first, the
// device ends a friend with no request left waiting, and it is told at least once.
TEST_F(FriendProtocolTest, ADeclarationAndARequestOfOneDeviceMeetConsistently) {
  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    const std::string device = "0d0d0d0d-0000-4000-8000-0000000000" + std::to_string(10 + round);
    const Bytes other = id(device);
    bool declared = false;
    run_together({[&] { node_->protocol().handle_friend_request(other); },
                  [&] { declared = node_->protocol().declare_friend(other); }});

    EXPECT_TRUE(declared);
    EXPECT_TRUE(node_->set("friends").snapshot().contains(other));
    EXPECT_FALSE(node_->set("inbound_requests").snapshot().contains(other));
    const std::size_t accepts = backend_.queued(device);
    EXPECT_TRUE(accepts == 1 || accepts == 2) << accepts;
  }
  // Every change reached the files.
  for (const char* name : {"friends", "inbound_requests"})
    EXPECT_EQ(on_file(node_->set(name).file()), node_->set(name).snapshot());
  EXPECT_EQ(node_->set("friends").dump_count(), std::size_t{kRounds});
}

// Requests of one stranger that arrive together: held once, written once.
TEST_F(FriendProtocolTest, RequestsOfOneDeviceArrivingTogetherAreWrittenOnce) {
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    const Bytes stranger = id("stranger-" + std::to_string(round));
    const auto request = [&] { node_->protocol().handle_friend_request(stranger); };
    run_together({request, request, request, request});
  }
  EXPECT_EQ(node_->set("inbound_requests").snapshot().size(), std::size_t{kRounds});
  EXPECT_EQ(node_->writes(), (Writes{{"inbound_requests", kRounds}}));
}

}  // namespace
}  // namespace velmora::model
