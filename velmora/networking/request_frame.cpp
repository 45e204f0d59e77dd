#include "velmora/networking/request_frame.hpp"

#include <algorithm>
#include <vector>

#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::networking {

Value sorted_members(const Value& data) {
  if (!data.is_object())
    throw utils::argument_type_error("data", "dict", utils::type_name(data));
  std::vector<Value::const_iterator> members;
  members.reserve(data.size());
  for (auto member = data.cbegin(); member != data.cend(); ++member) members.push_back(member);
  std::sort(members.begin(), members.end(),
            [](const auto& a, const auto& b) { return a.key() < b.key(); });
  Value sorted = Value::object();
  for (const auto& member : members) sorted[member.key()] = member.value();
  return sorted;
}

std::string request_trace(std::string_view url, const Value& payload, const Value& headers,
                          long status, std::string_view body) {
  std::string trace = "    URL: ";
  trace += url;
  trace += "\n    Payload: ";
  utils::append_literal_text(trace, payload);
  trace += "\n    Headers: ";
  utils::append_literal_text(trace, headers);
  trace += "\n    Response Status Code: ";
  trace += std::to_string(status);
  trace += "\n    Server Response: ";
  trace += body;
  trace += "\n";
  return trace;
}

bool code_counts_as_zero(const Value& code) noexcept {
  if (code.is_boolean()) return !code.get<bool>();
  if (code.is_number_unsigned()) return code.get<std::uint64_t>() == 0;
  if (code.is_number_integer()) return code.get<std::int64_t>() == 0;
  if (code.is_number_float()) return code.get<double>() == 0.0;
  return false;
}

const std::string& text_member(const Value& answer, const char* key) {
  const auto found = answer.find(key);
  if (found == answer.end()) throw utils::KeyError(Value(key));
  if (!found->is_string())
    throw utils::TypeError(std::string("answer member '") + key + "' is not text");
  return found->get_ref<const std::string&>();
}

}  // namespace velmora::networking
