#pragma once
// Reads JSON text that comes from outside (store files, backend, engine and identity-provider
// answers) on a bounded stack. Safe from any thread.

#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

// Objects and arrays nested deeper than this are refused.
inline constexpr int kMaxJsonDepth = 100;

// The value of one JSON text. Throws ValueError for malformed text, a NUL byte anywhere, or
// nesting deeper than kMaxJsonDepth.
Value parse_json(std::string_view text);

}  // namespace velmora::utils
