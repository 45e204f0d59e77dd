#include "velmora/networking/device_list.hpp"

#include <array>
#include <functional>
#include <string_view>
#include <utility>

#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_parser.hpp"

namespace velmora::networking {
namespace {

using Digests = DeviceList::Digests;
using simdjson::dom::element;

using utils::last_member;

std::string type_name_of(element value) { return std::string(utils::type_name(value)); }

// The members of one entry that the table is built from, read in one pass over the entry.
class Entry {
 public:
  enum Member { kUserId, kPublicKey, kStatus, kName, kProfile };

  explicit Entry(simdjson::dom::object entry) {
    for (const auto [name, value] : entry) {
      for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) {
          members_[i] = value;
          found_[i] = true;
        }
      }
    }
  }

  // The member's text: KeyError when it is missing, TypeError when it is no text.
  std::string_view text(Member member) const {
    if (!found_[member]) throw utils::KeyError(Value(std::string(kNames[member])));
    std::string_view text;
    if (members_[member].get_string().get(text))
      throw utils::TypeError("answer member '" + std::string(kNames[member]) + "' is not text");
    return text;
  }

 private:
  static constexpr std::array<std::string_view, 5> kNames{"userid", "public_key", "status", "name",
                                                          "profile"};
  std::array<element, kNames.size()> members_{};
  std::array<bool, kNames.size()> found_{};
};

// The device of previous with this id when it was read from texts of the same digests.
const device::Device* unchanged(const DeviceList* previous, const Bytes& id,
                                const Digests& digests) {
  if (!previous) return nullptr;
  const auto known = previous->digests.find(id);
  if (known == previous->digests.end() || !(known->second == digests)) return nullptr;
  const auto device = previous->table.find(id);
  return device == previous->table.end() ? nullptr : &device->second;
}

// Whether answer is a mapping whose "valid" is true and whose "code" counts as zero: a plain
// success, read straight from the document. Any other answer goes the way of every signed
// request, which raises its error or warns.
bool plain_success(element answer) {
  simdjson::dom::object object;
  element valid, code;
  return !answer.get_object().get(object) && last_member(object, "valid", valid) &&
         last_member(object, "code", code) && utils::truth_value(utils::value_of(valid)) &&
         code_counts_as_zero(utils::value_of(code));
}

}  // namespace

DeviceList read_device_list(element users, const DeviceList* previous) {
  simdjson::dom::array entries;
  if (users.get_array().get(entries))
    throw utils::TypeError("'users_dict' is a " + type_name_of(users) + ", not a list");
  const std::hash<std::string_view> hash;
  DeviceList list;
  for (const element item : entries) {
    simdjson::dom::object object;
    if (item.get_object().get(object))
      throw utils::TypeError("device list entry is a " + type_name_of(item) + ", not a dict");
    const Entry entry(object);
    Bytes id = utils::s2b(entry.text(Entry::kUserId));
    const std::string_view public_key = entry.text(Entry::kPublicKey);
    const std::string_view profile = entry.text(Entry::kProfile);
    const Digests digests{hash(public_key), hash(profile)};
    const device::Device* before = unchanged(previous, id, digests);

    auto key = before ? before->public_key()
                      : sealcraft::PublicKey::import_key(utils::s2b(public_key));
    const auto status = device::device_status_from_name(entry.text(Entry::kStatus));
    std::string name(entry.text(Entry::kName));
    // A new profile text is read once, to refuse one that does not read back; the table keeps
    // the text.
    if (!before) utils::parse_literal(profile);
    auto profile_text = before ? before->profile_text()
                               : std::make_shared<const std::string>(profile);
    list.digests[id] = digests;
    list.table.insert_or_assign(
        id, device::Device(id, std::move(key), status, std::move(name), std::move(profile_text)));
  }
  return list;
}

void Network::update_devices(const std::optional<std::string>& group_id) {
  const Value request = local_device_->update_info(
      {{"groupid", group_id ? Value(*group_id) : Value(nullptr)}});
  // The memory of the last reading serves this one and goes back whatever happens; a reading
  // that runs beside another makes its own.
  struct Borrowed {
    Network& network;
    std::unique_ptr<DeviceListMemory> memory;
    ~Borrowed() {
      std::lock_guard lock(network.fields_mutex_);
      network.device_list_memory_ = std::move(memory);
    }
  } borrowed{*this, nullptr};
  std::shared_ptr<const DeviceList> previous;
  {
    std::lock_guard lock(fields_mutex_);
    borrowed.memory = std::move(device_list_memory_);
    previous = device_list_;
  }
  if (!borrowed.memory) borrowed.memory = std::make_unique<DeviceListMemory>();
  DeviceListMemory& memory = *borrowed.memory;

  SignedExchange exchange = signed_exchange("list_users", request, std::move(memory.answer));
  std::string& body = exchange.response.body;
  const std::size_t digest = std::hash<std::string_view>{}(body);
  const std::size_t size = body.size();
  // The same answer gives the same table: the one in force stays.
  if (previous && previous->answer_size == size && previous->answer_digest == digest) {
    memory.answer = std::move(body);
    return;
  }
  const element answer = memory.reader.read(body);
  if (!plain_success(answer)) checked_answer(exchange);  // raises, or warns and goes on
  element users;
  if (!last_member(answer.get_object().value_unsafe(), "users_dict", users))
    throw utils::KeyError(Value("users_dict"));
  DeviceList read = read_device_list(users, previous.get());
  memory.answer = std::move(body);
  read.answer_size = size;
  read.answer_digest = digest;
  auto list = std::make_shared<const DeviceList>(std::move(read));
  std::lock_guard lock(fields_mutex_);
  device_list_ = std::move(list);
}

}  // namespace velmora::networking
