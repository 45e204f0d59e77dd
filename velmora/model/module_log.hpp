#pragma once
// The module's logger, for the module's own sources.

#include "velmora/utils/runtime/log.hpp"

namespace velmora::model {

inline utils::log::Logger& LOG = utils::log::get_logger("velmora.model");

}  // namespace velmora::model
