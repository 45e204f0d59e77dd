#pragma once
// Reading and writing the members of a record's stored form (the module's own sources only).
// A store file is outside data: every member is checked, and a wrong one is a ValueError that
// names it.

#include <optional>
#include <string>
#include <string_view>

#include "velmora/utils/text/json_writer.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::job::stored_state {

// The text member name of state, a mapping.
const std::string& text(const utils::Value& state, std::string_view name);
// The member name of state that is text or null.
std::optional<std::string> text_or_none(const utils::Value& state, std::string_view name);
// A member that text_or_none reads back.
void write_text_or_none(utils::JsonWriter& out, std::string_view name,
                        const std::optional<std::string>& value);

}  // namespace velmora::job::stored_state
