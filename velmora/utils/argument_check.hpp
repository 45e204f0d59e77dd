#pragma once
// Type checks of arguments that arrive as dynamic values, with the fixed message of the system.

#include <string_view>

#include "velmora/utils/error.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::utils {

// The type name of a dynamic value as the system's messages show it:
// str, bytes, int, float, bool, list, dict or NoneType.
std::string_view type_name(const Value& value) noexcept;

// "Argument '<name>' has incorrect type (expected <expected>, got <got>)", each field cut at 200
// characters.
TypeError argument_type_error(std::string_view name, std::string_view expected,
                              std::string_view got);

// Throw argument_type_error unless value is text (resp. bytes) or null.
void check_text_or_none(const Value& value, std::string_view name);
void check_bytes_or_none(const Value& value, std::string_view name);

}  // namespace velmora::utils
