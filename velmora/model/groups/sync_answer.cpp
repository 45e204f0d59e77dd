#include "velmora/model/groups/sync_answer.hpp"

#include <algorithm>

#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

using utils::Value;

const Value& member(const Value& answer, const char* name) {
  const auto found = answer.find(name);
  if (found == answer.end()) throw utils::KeyError(Value(name));
  return *found;
}

}  // namespace

std::vector<std::string> members_of(const Value& answer) {
  const Value& members = member(answer, "members_list");
  const auto not_text = [](const Value& id) { return !id.is_string(); };
  if (!members.is_array() || std::any_of(members.begin(), members.end(), not_text))
    throw utils::TypeError("answer member 'members_list' is not a list of texts");
  return members.get<std::vector<std::string>>();
}

std::optional<std::string> owner_of(const Value& answer) {
  const Value& owner = member(answer, "owner");
  if (owner.is_null()) return std::nullopt;
  if (!owner.is_string())
    throw utils::TypeError("Expected unicode, got " + std::string(utils::type_name(owner)));
  return owner.get<std::string>();
}

std::string description_of(const Value& answer) {
  return networking::text_member(answer, "description");
}

}  // namespace velmora::model
