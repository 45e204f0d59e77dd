#include "velmora/daemon/login/node_owner.hpp"

#include "velmora/utils/error.hpp"
#include "velmora/utils/stores/store_file.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {

std::filesystem::path owner_file(const model::NodeSettings& settings) {
  return std::filesystem::path(settings.priv_key_file).parent_path() / kOwnerFileName;
}

std::optional<std::string> read_owner(const std::filesystem::path& file) {
  const std::optional<std::string> content = utils::store_file::read(file);
  if (!content) return std::nullopt;
  try {
    const utils::Value owner = utils::parse_json(*content);
    const auto user = owner.find("user");  // end() for a value that is no object
    if (user == owner.end() || !user->is_string())
      throw utils::ValueError("no \"user\" text in a JSON object");
    return user->get<std::string>();
  } catch (const utils::ValueError& error) {
    utils::store_file::throw_unreadable(file, error);
  }
}

void record_owner(const std::filesystem::path& file, const std::string& user) {
  utils::store_file::Replacement replacement(file);
  replacement.append(utils::Value{{"user", user}}.dump());
  replacement.commit();
}

}  // namespace velmora::daemon
