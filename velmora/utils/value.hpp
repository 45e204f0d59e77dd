#pragma once
// The dynamic value: JSON bodies, labels, backend answers and profiles. Member order is kept.

#include <nlohmann/json.hpp>

namespace velmora::utils {

using Value = nlohmann::ordered_json;

}  // namespace velmora::utils
