#include "velmora/job/stored_state.hpp"

#include "velmora/utils/error.hpp"

namespace velmora::job::stored_state {
namespace {

[[noreturn]] void throw_wrong(std::string_view name, std::string_view expected,
                              simdjson::dom::element found) {
  throw utils::ValueError("a stored job record's \"" + std::string(name) + "\" is " +
                          std::string(utils::type_name(found)) + ", not " +
                          std::string(expected));
}

}  // namespace

simdjson::dom::object record(simdjson::dom::element state) {
  simdjson::dom::object mapping;
  if (state.get_object().get(mapping))
    throw utils::ValueError("a stored job record is a mapping, not " +
                            std::string(utils::type_name(state)));
  return mapping;
}

simdjson::dom::element member(simdjson::dom::object state, std::string_view name) {
  simdjson::dom::element found;
  if (!utils::last_member(state, name, found))
    throw utils::ValueError("a stored job record lacks \"" + std::string(name) + "\"");
  return found;
}

std::string_view text(simdjson::dom::object state, std::string_view name) {
  const simdjson::dom::element found = member(state, name);
  std::string_view text;
  if (found.get_string().get(text)) throw_wrong(name, "str", found);
  return text;
}

std::optional<std::string> text_or_none(simdjson::dom::object state, std::string_view name) {
  const simdjson::dom::element found = member(state, name);
  if (found.is_null()) return std::nullopt;
  std::string_view text;
  if (found.get_string().get(text)) throw_wrong(name, "str or None", found);
  return std::string(text);
}

void write_text_or_none(utils::JsonWriter& out, std::string_view name,
                        const std::optional<std::string>& value) {
  out.key(name);
  if (value)
    out.text(*value);
  else
    out.value(nullptr);
}

}  // namespace velmora::job::stored_state
