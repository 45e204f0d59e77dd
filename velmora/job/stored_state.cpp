#include "velmora/job/stored_state.hpp"

#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::job::stored_state {
namespace {

const utils::Value& member(const utils::Value& state, std::string_view name) {
  if (!state.is_object())
    throw utils::ValueError("a stored job record is a mapping, not " +
                            std::string(utils::type_name(state)));
  const auto found = state.find(name);
  if (found == state.end())
    throw utils::ValueError("a stored job record lacks \"" + std::string(name) + "\"");
  return *found;
}

[[noreturn]] void throw_wrong(std::string_view name, std::string_view expected,
                              const utils::Value& found) {
  throw utils::ValueError("a stored job record's \"" + std::string(name) + "\" is " +
                          std::string(utils::type_name(found)) + ", not " +
                          std::string(expected));
}

}  // namespace

const std::string& text(const utils::Value& state, std::string_view name) {
  const utils::Value& found = member(state, name);
  if (!found.is_string()) throw_wrong(name, "str", found);
  return found.get_ref<const std::string&>();
}

std::optional<std::string> text_or_none(const utils::Value& state, std::string_view name) {
  const utils::Value& found = member(state, name);
  if (found.is_null()) return std::nullopt;
  if (!found.is_string()) throw_wrong(name, "str or None", found);
  return found.get<std::string>();
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
