#include "velmora/networking/device_list.hpp"

#include <functional>
#include <string_view>

#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_parser.hpp"

namespace velmora::networking {
namespace {

using Digests = DeviceList::Digests;

// The device of previous with this id when it was read from texts of the same digests.
const device::Device* unchanged(const DeviceList* previous, const Bytes& id,
                                const Digests& digests) {
  if (!previous) return nullptr;
  const auto known = previous->digests.find(id);
  if (known == previous->digests.end() || !(known->second == digests)) return nullptr;
  const auto device = previous->table.find(id);
  return device == previous->table.end() ? nullptr : &device->second;
}

}  // namespace

DeviceList read_device_list(const Value& users, const DeviceList* previous) {
  if (!users.is_array())
    throw utils::TypeError("'users_dict' is a " + std::string(utils::type_name(users)) +
                           ", not a list");
  const std::hash<std::string_view> hash;
  DeviceList list;
  for (const Value& entry : users) {
    if (!entry.is_object())
      throw utils::TypeError("device list entry is a " + std::string(utils::type_name(entry)) +
                             ", not a dict");
    Bytes id = utils::s2b(text_member(entry, "userid"));
    const std::string& public_key = text_member(entry, "public_key");
    const std::string& profile = text_member(entry, "profile");
    const Digests digests{hash(public_key), hash(profile)};
    const device::Device* before = unchanged(previous, id, digests);

    auto key = before ? before->public_key()
                      : sealcraft::PublicKey::import_key(utils::s2b(public_key));
    const auto status = device::device_status_from_name(text_member(entry, "status"));
    std::string name = text_member(entry, "name");
    auto info = before ? before->shared_info()
                       : std::make_shared<const Value>(utils::parse_literal(profile));
    list.digests[id] = digests;
    list.table.insert_or_assign(
        id, device::Device(id, std::move(key), status, std::move(name), std::move(info)));
  }
  return list;
}

void Network::update_devices(const std::optional<std::string>& group_id) {
  const Value request = local_device_->update_info(
      {{"groupid", group_id ? Value(*group_id) : Value(nullptr)}});
  const SignedExchange exchange = signed_exchange("list_users", request);
  const std::string& body = exchange.response.body;
  const std::size_t digest = std::hash<std::string_view>{}(body);
  std::shared_ptr<const DeviceList> previous;
  {
    std::lock_guard lock(fields_mutex_);
    previous = device_list_;
  }
  // The same answer gives the same table: the one in force stays.
  if (previous && previous->answer_size == body.size() && previous->answer_digest == digest)
    return;

  const Value answer = checked_answer(exchange);
  const auto users = answer.find("users_dict");
  if (users == answer.end()) throw utils::KeyError(Value("users_dict"));
  DeviceList read = read_device_list(*users, previous.get());
  read.answer_size = body.size();
  read.answer_digest = digest;
  auto list = std::make_shared<const DeviceList>(std::move(read));
  std::lock_guard lock(fields_mutex_);
  device_list_ = std::move(list);
}

}  // namespace velmora::networking
