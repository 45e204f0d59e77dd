// The receiving end of the packages between nodes.
#include <filesystem>
#include <string>
#include <system_error>

#include "velmora/model/module_log.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::model {
namespace {

// The label's "subject" as a log line shows it: the text itself, or the literal text of whatever
// else the label holds there.
std::string subject_of(const utils::Value& label) {
  if (!label.is_object()) return "None";
  const auto subject = label.find("subject");
  if (subject == label.end()) return "None";
  return subject->is_string() ? subject->get<std::string>() : utils::literal_text(*subject);
}

}  // namespace

void Velmora::handle_received_files() {
  for (;;) {
    networking::ReceivedPackage package;
    try {
      package = network_->recv_pkg();
    } catch (const networking::ValidityError&) {
      return;  // the backend's way of saying that nothing is waiting
    }
    LOG.warning("Case for file type '%s' not implemented yet", subject_of(package.label));
    if (package.attachment) {
      std::error_code ignored;  // a folder in the temporary directory that nothing else uses
      std::filesystem::remove_all(*package.attachment, ignored);
    }
  }
}

}  // namespace velmora::model
