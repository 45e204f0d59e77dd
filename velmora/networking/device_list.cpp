#include "velmora/networking/device_list.hpp"

#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_parser.hpp"

namespace velmora::networking {
namespace {

device::Device read_device(const Value& entry) {
  if (!entry.is_object())
    throw utils::TypeError("device list entry is a " + std::string(utils::type_name(entry)) +
                           ", not a dict");
  Bytes id = utils::s2b(text_member(entry, "userid"));
  auto public_key = sealcraft::PublicKey::import_key(utils::s2b(text_member(entry, "public_key")));
  const auto status = device::device_status_from_name(text_member(entry, "status"));
  std::string name = text_member(entry, "name");
  Value profile = utils::parse_literal(text_member(entry, "profile"));
  return device::Device(std::move(id), std::move(public_key), status, std::move(name),
                        std::move(profile));
}

}  // namespace

DeviceTable read_device_table(const Value& users) {
  if (!users.is_array())
    throw utils::TypeError("'users_dict' is a " + std::string(utils::type_name(users)) +
                           ", not a list");
  DeviceTable table;
  for (const Value& entry : users) {
    device::Device device = read_device(entry);
    Bytes id = device.id();
    table.insert_or_assign(std::move(id), std::move(device));
  }
  return table;
}

void Network::update_devices(const std::optional<std::string>& group_id) {
  const Value request = local_device_->update_info(
      {{"groupid", group_id ? Value(*group_id) : Value(nullptr)}});
  const Value answer = _send_request("list_users", request);
  const auto users = answer.find("users_dict");
  if (users == answer.end()) throw utils::KeyError(Value("users_dict"));
  auto table = std::make_shared<const DeviceTable>(read_device_table(*users));
  std::lock_guard lock(fields_mutex_);
  devices_ = std::move(table);
}

}  // namespace velmora::networking
