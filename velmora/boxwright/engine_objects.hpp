#pragma once
// The engine's containers and images as the adapter's functions take and answer them. The node
// keeps only their ids and looks them up afresh when it needs them, so a value may name a
// container or image that has gone since. Plain values; any thread may use them.

#include <string>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::boxwright {

struct Container {
  std::string id;    // the engine's full id
  std::string name;  // the engine's name for it, without the leading "/"
};

struct Image {
  std::string id;  // "sha256:..."
};

// The container or image of that id or name on the engine of the process environment, as it is
// now. Throws engine::NotFoundError when the engine has none, EngineError when it cannot be asked.
Container get_container(std::string_view id);
Image get_image(std::string_view id);

// The container that an engine answer describes: an inspect answer ("Id", "Name") or an entry of
// the container list ("Id", "Names"). Throws EngineError for an answer without them.
Container container_of(const utils::Value& answer);

}  // namespace velmora::boxwright
