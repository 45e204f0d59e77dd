#include "testing/engine_janitor.hpp"

namespace velmora::testing {

EngineJanitor::~EngineJanitor() {
  for (const std::string& id : containers_) {
    try {
      client_.remove_container(id, {.force = true, .volumes = true});
    } catch (const std::exception&) {
      // gone already, or the engine with it
    }
  }
  for (const std::string& id : images_) {
    try {
      client_.remove_image(id, {.force = true});
    } catch (const std::exception&) {
    }
  }
}

}  // namespace velmora::testing
