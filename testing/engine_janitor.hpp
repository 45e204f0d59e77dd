#pragma once
// Removes the containers and images a test made when it goes, also when the test fails.

#include <string>
#include <vector>

#include "velmora/boxwright/engine/engine_client.hpp"

namespace velmora::testing {

class EngineJanitor {
 public:
  explicit EngineJanitor(boxwright::engine::EngineClient client) : client_(std::move(client)) {}
  EngineJanitor(const EngineJanitor&) = delete;
  EngineJanitor& operator=(const EngineJanitor&) = delete;
  ~EngineJanitor();  // containers first, then images; forced; failures ignored

  // Each records the id for removal and answers it.
  std::string container(std::string id) { return containers_.emplace_back(std::move(id)); }
  std::string image(std::string id) { return images_.emplace_back(std::move(id)); }

 private:
  boxwright::engine::EngineClient client_;
  std::vector<std::string> containers_;
  std::vector<std::string> images_;
};

}  // namespace velmora::testing
