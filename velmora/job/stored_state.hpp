#pragma once
// Reading and writing the members of a record's stored form (the module's own sources only).
// A store file is outside data: every member is checked, and a wrong one is a ValueError that
// names it. A member given twice counts as its last, as in a mapping read whole.

#include <optional>
#include <string>
#include <string_view>

#include "velmora/utils/text/json_reader.hpp"
#include "velmora/utils/text/json_writer.hpp"

namespace velmora::job::stored_state {

// state as a mapping.
simdjson::dom::object record(simdjson::dom::element state);
// The member name of state.
simdjson::dom::element member(simdjson::dom::object state, std::string_view name);
// The text member name of state.
std::string_view text(simdjson::dom::object state, std::string_view name);
// The member name of state that is text or null.
std::optional<std::string> text_or_none(simdjson::dom::object state, std::string_view name);
// A member that text_or_none reads back.
void write_text_or_none(utils::JsonWriter& out, std::string_view name,
                        const std::optional<std::string>& value);

}  // namespace velmora::job::stored_state
