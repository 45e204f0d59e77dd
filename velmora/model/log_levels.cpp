#include "velmora/model/log_levels.hpp"

#include <array>
#include <string>
#include <utility>

#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::model {

namespace log = utils::log;

int log_level(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, int>, 7> kLevels{{
      {"all", log::kAll},
      {"none", log::kNone},
      {"debug", log::kDebug},
      {"info", log::kInfo},
      {"warning", log::kWarning},
      {"error", log::kError},
      {"critical", log::kCritical},
  }};
  for (const auto& [level_name, level] : kLevels)
    if (level_name == name) return level;
  throw utils::KeyError(utils::Value(std::string(name)));
}

void hold_library_loggers() {
  for (const char* name : {"requests", "urllib3", "docker"})
    log::get_logger(name).set_level(log::kWarning);
}

}  // namespace velmora::model
