#include "testing/device_list_answer.hpp"

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "velmora/sealcraft/keys.hpp"
#include "velmora/utils/text/literal_text.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::testing {

const std::string& device_list_answer(int devices) {
  static std::map<int, std::string> answers;
  static const auto keys = [] {
    std::vector<std::shared_ptr<const sealcraft::PublicKey>> pool;
    for (int i = 0; i < 8; ++i) pool.push_back(sealcraft::make_keys().second);
    return pool;
  }();
  std::string& answer = answers[devices];
  if (!answer.empty()) return answer;
  utils::Value users = utils::Value::array();
  for (int i = 0; i < devices; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "%08x-8d4a-4c9e-9b7a-2e5d6f1a0b3c", i);
    const std::string public_key = utils::b2s(keys[i % keys.size()]->export_());
    const utils::Value profile = {
        {"uuid", id}, {"address", "192.0.2.17"}, {"client_version", "0.1.0"},
        {"hostname", "workstation-" + std::to_string(i)}, {"public_key", public_key},
        {"username", "user" + std::to_string(i)}, {"ed_key", "To_Do"}, {"curve_key", "To_Do"},
        {"one_time_keys", utils::Value::array()}};
    users.push_back({{"userid", id},
                     {"public_key", public_key},
                     {"status", i % 3 ? "ONLINE" : "OFFLINE"},
                     {"name", "workstation-" + std::to_string(i)},
                     {"profile", utils::literal_text(profile)}});
  }
  answer = utils::Value{{"valid", true}, {"code", 0}, {"msg", "OK"}, {"users_dict", users}}.dump();
  return answer;
}

}  // namespace velmora::testing
