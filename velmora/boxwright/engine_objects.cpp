#include "velmora/boxwright/engine_objects.hpp"

#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"

namespace velmora::boxwright {
namespace {

using utils::Value;

constexpr long kAnswerStatus = 200;

const std::string& text_member(const Value& answer, const char* member) {
  if (answer.is_object()) {
    const auto found = answer.find(member);
    if (found != answer.end() && found->is_string()) return found->get_ref<const std::string&>();
  }
  throw engine::EngineError(
      kAnswerStatus,
      "the Docker engine describes an object without the text \"" + std::string(member) + "\"");
}

// The engine writes names with a leading "/".
std::string plain_name(std::string_view name) {
  if (name.starts_with('/')) name.remove_prefix(1);
  return std::string(name);
}

// Of a list entry's names, the container's own: its links' names hold a further "/".
std::string listed_name(const Value& entry) {
  const auto names = entry.find("Names");
  if (names == entry.end() || !names->is_array() || names->empty() || !(*names)[0].is_string())
    throw engine::EngineError(kAnswerStatus,
                              "the Docker engine lists a container without its names");
  for (const Value& name : *names) {
    if (!name.is_string()) continue;
    std::string plain = plain_name(name.get<std::string>());
    if (plain.find('/') == std::string::npos) return plain;
  }
  return plain_name((*names)[0].get<std::string>());
}

}  // namespace

Container get_container(std::string_view id) {
  return container_of(engine::EngineClient::from_env().inspect_container(id));
}

Image get_image(std::string_view id) {
  return {text_member(engine::EngineClient::from_env().inspect_image(id), "Id")};
}

Container container_of(const Value& answer) {
  std::string id = text_member(answer, "Id");
  if (answer.contains("Name")) return {std::move(id), plain_name(text_member(answer, "Name"))};
  return {std::move(id), listed_name(answer)};
}

}  // namespace velmora::boxwright
