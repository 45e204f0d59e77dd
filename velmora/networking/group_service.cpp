// The group service: every group action is one call of one endpoint.
#include "velmora/networking/network.hpp"
#include "velmora/utils/text/ascii_json.hpp"

namespace velmora::networking {
namespace {

Value text_or_null(const std::optional<std::string>& text) {
  return text ? Value(*text) : Value(nullptr);
}

}  // namespace

Value Network::group_function(const std::optional<std::string>& call,
                              const std::optional<std::string>& group_name,
                              const std::vector<std::string>& uuid_list,
                              const std::optional<std::string>& group_desc) {
  const std::string uuid_list_text = utils::ascii_json_text(Value(uuid_list));
  const Value request = local_device_->update_info({{"username", username_},
                                                    {"call", text_or_null(call)},
                                                    {"group", text_or_null(group_name)},
                                                    {"groupid", ""},
                                                    {"subgroup", ""},
                                                    {"group_desc", text_or_null(group_desc)},
                                                    {"uuid_list", uuid_list_text}});
  return _send_request("group_action", request);
}

}  // namespace velmora::networking
