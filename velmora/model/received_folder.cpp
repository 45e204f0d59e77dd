#include "velmora/model/received_folder.hpp"

#include "velmora/model/module_log.hpp"
#include "velmora/utils/tree_removal.hpp"

namespace velmora::model {

void ReceivedFolder::remove() noexcept {
  if (!path_) return;
  const std::filesystem::path path = *std::exchange(path_, std::nullopt);
  try {
    utils::remove_tree(path);
  } catch (const std::exception& e) {
    LOG.log_error(utils::log::kWarning, e, "Could not remove the received folder %s",
                  path.string());
  }
}

}  // namespace velmora::model
