// The device list: reading entries into a table, and the swap of the client's table.
#include <gtest/gtest.h>

#include "backend_fixture.hpp"
#include "velmora/networking/device_list.hpp"
#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/runtime/log.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::networking {
namespace {

using testing::FakeBackend;

// The list of the "users_dict" given as JSON text.
DeviceList read_text(std::string text, const DeviceList* previous = nullptr) {
  utils::JsonReader reader;
  return read_device_list(reader.read(text), previous);
}

DeviceList read_list(const Value& users, const DeviceList* previous = nullptr) {
  return read_text(users.dump(), previous);
}

Value entry(const std::string& id, const sealcraft::PublicKey& key, const Value& profile,
            const std::string& status = "ONLINE") {
  return {{"userid", id},
          {"public_key", utils::b2s(key.export_())},
          {"status", status},
          {"name", "host-" + id.substr(0, 4)},
          {"profile", utils::literal_text(profile)},
          {"extra", "not read"}};
}

TEST(DeviceTable, ReadsEveryEntryInOrderALaterDuplicateReplacingTheFirst) {
  const Value profile = {{"uuid", kDeviceId}, {"nested", {{"n", 1.5}, {"l", {true, nullptr}}}}};
  const Value users = {entry(kDeviceId, *node_keys().second, profile),
                       entry(kPeerId, *peer_keys().second, Value::object(), "OFFLINE"),
                       entry(kDeviceId, *peer_keys().second, {{"second", "é"}})};
  const DeviceTable table = read_list(users).table;
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table.begin()->first, utils::Bytes(std::string_view(kDeviceId)));
  const device::Device& first = table.begin()->second;
  EXPECT_EQ(first.info(), (Value{{"second", "é"}}));
  EXPECT_EQ(first.public_key()->export_(), peer_keys().second->export_());
  const device::Device& peer = table.find(utils::Bytes(std::string_view(kPeerId)))->second;
  EXPECT_EQ(peer.status(), device::DeviceStatus::OFFLINE);
  EXPECT_EQ(peer.name(), "host-9a8b");
  EXPECT_EQ(peer.id(), utils::Bytes(std::string_view(kPeerId)));
  EXPECT_EQ(read_list(Value::array({entry(kPeerId, *peer_keys().second, profile)}))
                .table.begin()->second.info(),
            profile);
  EXPECT_TRUE(read_list(Value::array()).table.empty());

  // Of a member given twice, the last counts, as in a mapping read whole.
  std::string twice = Value::array({entry(kPeerId, *peer_keys().second, profile)}).dump();
  twice.insert(twice.find("\"status\""), "\"status\": \"AWAY\", \"name\": \"first\", ");
  twice.insert(twice.rfind('}'), ", \"name\": \"last\"");
  EXPECT_EQ(read_text(twice).table.begin()->second.name(), "last");
}

TEST(DeviceTable, AMalformedEntryFailsTheWholeList) {
  const Value good = entry(kDeviceId, *node_keys().second, Value::object());
  const auto with = [&](const char* key, const Value& value) {
    Value changed = good;
    if (value.is_discarded())
      changed.erase(key);
    else
      changed[key] = value;
    return changed;
  };
  const Value missing(Value::value_t::discarded);
  EXPECT_THROW(read_list({good, with("profile", missing)}), utils::KeyError);
  EXPECT_THROW(read_list({good, with("userid", missing)}), utils::KeyError);
  EXPECT_THROW(read_list({good, with("userid", 7)}), utils::TypeError);
  EXPECT_THROW(read_list({good, with("userid", "\u0100")}), utils::ValueError);
  EXPECT_THROW(read_list({good, with("public_key", "not der")}), utils::ValueError);
  EXPECT_THROW(read_list({good, with("status", "AWAY")}), utils::ValueError);
  EXPECT_THROW(read_list({good, with("name", nullptr)}), utils::TypeError);
  EXPECT_THROW(read_list({good, with("profile", "__import__('os')")}), utils::ValueError);
  EXPECT_THROW(read_list({good, with("profile", "{'x': inf}")}), utils::ValueError);
  EXPECT_THROW(read_list({good, "an entry"}), utils::TypeError);
  EXPECT_THROW(read_list(Value::object()), utils::TypeError);
}

TEST(DeviceTable, AnUnchangedDeviceIsTakenOverAndAChangedOneReadAgain) {
  const Value profile = {{"uuid", kPeerId}};
  const Value users = {entry(kDeviceId, *node_keys().second, profile),
                       entry(kPeerId, *peer_keys().second, profile)};
  const DeviceList first = read_list(users);
  const utils::Bytes mine_id(std::string_view{kDeviceId});
  const utils::Bytes peer_id(std::string_view{kPeerId});

  Value next = users;
  next[0]["status"] = "OFFLINE";
  next[0]["name"] = "renamed";
  next[1]["profile"] = utils::literal_text(Value{{"uuid", kPeerId}, {"new", true}});
  const DeviceList second = read_list(next, &first);
  const auto& mine = second.table.find(mine_id)->second;
  const auto& mine_before = first.table.find(mine_id)->second;
  EXPECT_EQ(mine.public_key(), mine_before.public_key());  // the same key object
  EXPECT_EQ(mine.profile_text(), mine_before.profile_text());  // the same text
  EXPECT_EQ(mine.status(), device::DeviceStatus::OFFLINE);
  EXPECT_EQ(mine.name(), "renamed");
  const auto& peer = second.table.find(peer_id)->second;
  EXPECT_EQ(peer.info(), (Value{{"uuid", kPeerId}, {"new", true}}));

  next[0]["public_key"] = utils::b2s(peer_keys().second->export_());
  const DeviceList third = read_list(next, &second);
  EXPECT_EQ(third.table.find(mine_id)->second.public_key()->export_(),
            peer_keys().second->export_());
}

class DeviceListUpdate : public BackendFixture {
 protected:
  DeviceListUpdate() : network_(make_network()) {}
  std::unique_ptr<Network> network_;
};

TEST_F(DeviceListUpdate, RegisteredDevicesComeBackWithTheirProfilesAndStatus) {
  const auto peer = make_peer_network();
  network_->register_(*device_);
  Value registered = device_->info();
  registered.erase("password");  // the fake serves no password
  peer->register_(*peer_device_);
  peer->set_status(device::DeviceStatus::ONLINE);

  network_->update_devices();
  const auto table = network_->devices();
  ASSERT_EQ(table->size(), 2u);  // this node's own device is listed too
  const device::Device& mine = table->begin()->second;
  EXPECT_EQ(mine.id(), device_->uuid());
  EXPECT_EQ(mine.status(), device::DeviceStatus::OFFLINE);
  EXPECT_EQ(mine.info(), sorted_members(registered));  // members travel sorted
  EXPECT_EQ(mine.public_key()->export_(), node_keys().second->export_());
  const device::Device& other = table->find(peer_device_->uuid())->second;
  EXPECT_EQ(other.status(), device::DeviceStatus::ONLINE);
  EXPECT_EQ(other.name(), peer_device_->hostname());
}

TEST_F(DeviceListUpdate, SendsTheGroupIdAndSwapsTheTableOnlyWhenAllIsRead) {
  backend_.server().script("/list/users", FakeBackend::backend_answer(
      {{"valid", true}, {"code", 0}, {"msg", "OK"},
       {"users_dict", Value::array({entry(kPeerId, *peer_keys().second, Value::object())})}}));
  network_->update_devices();
  const auto first = network_->devices();
  ASSERT_EQ(first->size(), 1u);

  Value bad = entry(kDeviceId, *node_keys().second, Value::object());
  bad.erase("profile");
  backend_.server().script("/list/users", FakeBackend::backend_answer(
      {{"valid", true}, {"code", 0}, {"msg", "OK"},
       {"users_dict", {entry(kDeviceId, *node_keys().second, Value::object()), bad}}}));
  EXPECT_THROW(network_->update_devices(std::nullopt), utils::KeyError);
  EXPECT_EQ(network_->devices(), first);
  EXPECT_TRUE(utils::parse_json(requests_to("/list/users").back().body)["groupid"].is_null());

  backend_.server().script("/list/users", FakeBackend::backend_answer(
      {{"valid", true}, {"code", 0}, {"msg", "OK"}}));
  EXPECT_THROW(network_->update_devices("g7"), utils::KeyError);
  EXPECT_EQ(utils::parse_json(requests_to("/list/users").back().body)["groupid"], "g7");
  EXPECT_EQ(network_->devices(), first);

  network_->update_devices();  // nothing registered at the fake: an empty list
  EXPECT_TRUE(network_->devices()->empty());
  EXPECT_EQ(device_->info()["groupid"], "0");
}

// An answer identical to the last one keeps the table in force; any change is read.
TEST_F(DeviceListUpdate, AnIdenticalAnswerIsNotReadAgain) {
  const auto answer = [](const char* status) {
    Value peer = entry(kPeerId, *peer_keys().second, Value::object());
    peer["status"] = status;
    return FakeBackend::backend_answer(
        {{"valid", true}, {"code", 0}, {"msg", "OK"}, {"users_dict", Value::array({peer})}});
  };
  backend_.server().script("/list/users", answer("ONLINE"), 2);
  network_->update_devices();
  const auto first = network_->devices();
  network_->update_devices();
  EXPECT_EQ(network_->devices(), first);

  backend_.server().script("/list/users", answer("OFFLINE"));
  network_->update_devices();
  EXPECT_NE(network_->devices(), first);
  EXPECT_EQ(network_->devices()->begin()->second.status(), device::DeviceStatus::OFFLINE);

  // A refusal is never taken for the list, however often it comes.
  const auto refusal = FakeBackend::backend_answer({{"valid", false}, {"code", 4}, {"msg", "no"}});
  backend_.server().script("/list/users", refusal, 2);
  EXPECT_THROW(network_->update_devices(), ValidityError);
  EXPECT_THROW(network_->update_devices(), ValidityError);
}

// Only a plain success is read straight from the answer; any other goes the way of every signed
// request: a warning for "valid" false with a code of zero, then the list read all the same.
TEST_F(DeviceListUpdate, AnAnswerThatWarnsIsReadAndOneThatIsNoMappingRefused) {
  const utils::log::LogCapture log("velmora.networking");
  backend_.server().script("/list/users", FakeBackend::backend_answer(
      {{"valid", false}, {"code", 0}, {"msg", "stale"},
       {"users_dict", Value::array({entry(kPeerId, *peer_keys().second, Value::object())})}}));
  network_->update_devices();
  EXPECT_EQ(network_->devices()->size(), 1u);
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_NE(log.messages().front().find("stale"), std::string::npos);

  backend_.server().script("/list/users", {200, "[1, 2]"});
  EXPECT_THROW(network_->update_devices(), utils::TypeError);
  EXPECT_EQ(network_->devices()->size(), 1u);
}

}  // namespace
}  // namespace velmora::networking
