// The receiving end of the packages between nodes: each package taken from the backend is handed
// to the handler of its subject, on a handler thread of its own.
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "velmora/model/inbox.hpp"
#include "velmora/model/module_log.hpp"
#include "velmora/model/packages/subject_table.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

using utils::Bytes;
using utils::Value;

// A label without a member that the dispatch reads: that package alone is dropped.
class MalformedLabel : public utils::ValueError {
 public:
  using ValueError::ValueError;
};

// The text member name of label.
std::string label_text(const Value& label, std::string_view name) {
  const auto member = label.find(name);
  if (member == label.end() || !member->is_string())
    throw MalformedLabel("no text '" + std::string(name) + "'");
  return member->get<std::string>();
}

// The label members that every package carries, in the order the dispatch reads them.
struct BaseLabel {
  std::string subject;
  std::string origin;
  std::string dest;
};

BaseLabel read_base_label(const Value& label) {
  if (!label.is_object()) throw MalformedLabel("the label is no mapping");
  return {label_text(label, "subject"), label_text(label, "origin"), label_text(label, "dest")};
}

// The sender's device id, as the friend sets and the job records hold it.
Bytes origin_id(const std::string& origin) {
  try {
    return utils::s2b(origin);
  } catch (const utils::ValueError&) {
    throw MalformedLabel("'origin' is no device id");
  }
}

// Removes a package file from the inbox when it goes, however its handler ended.
struct InboxRemoval {
  const std::filesystem::path& file;
  ~InboxRemoval() { Inbox::remove(file); }
};

// The sender a label names, as a refusal names it.
std::string sender_of(const Value& label) {
  const auto origin = label.is_object() ? label.find("origin") : label.end();
  return label.is_object() && origin != label.end() && origin->is_string()
             ? origin->get<std::string>()
             : "an unknown sender";
}

}  // namespace

void Velmora::handle_received_files() {
  // A package is taken only when its handler can run at once: a flood waits at the backend, not
  // in this process.
  while (handlers_.has_room()) {
    std::optional<networking::ReceivedPackage> package = next_package();
    if (!package) return;
    ReceivedFolder attachment(std::move(package->attachment));  // removed unless handed on
    bool handed = false;
    try {
      handed = dispatch(*package, attachment);
    } catch (const MalformedLabel& e) {
      LOG.warning("Dropping a package with a malformed label: %s", e.what());
    } catch (...) {
      inbox_left_.push_front(package->file);  // kept, for the next pass
      throw;
    }
    if (!handed) Inbox::remove(package->file);  // refused for good
    if (const std::optional<std::filesystem::path> left = attachment.path()) {
      attachment.release();
      remove_aside(*left);
    }
  }
}

void Velmora::remove_aside(const std::filesystem::path& folder) {
  try {
    handlers_.start("the removal of " + folder.string(),
                    [folder] { ReceivedFolder(folder).remove(); });
  } catch (const std::system_error&) {
    ReceivedFolder(folder).remove();  // no thread to be had: here, then
  }
}

std::optional<networking::ReceivedPackage> Velmora::next_package() {
  for (;;) {
    try {
      if (inbox_left_.empty()) return network_->recv_pkg();
      const std::filesystem::path left = inbox_left_.front();
      inbox_left_.pop_front();
      LOG.info("Taking up %s, kept in the inbox by an earlier run", left.string());
      return network_->read_pkg(left);
    } catch (const networking::ValidityError&) {
      return std::nullopt;  // the backend's way of saying that nothing is waiting
    } catch (const networking::RefusedPackage& refused) {
      LOG.warning("Refused a package from %s: %s", sender_of(refused.label()), refused.what());
    }
  }
}

bool Velmora::dispatch(const networking::ReceivedPackage& package, ReceivedFolder& attachment) {
  const Value& label = package.label;
  const BaseLabel base = read_base_label(label);
  if (const std::string own_id = utils::b2s(device()->uuid()); base.dest != own_id) {
    LOG.error("Pkg received at wrong destination: Intended for %s, received at %s", base.dest,
              own_id);
    return false;
  }
  const SubjectRow* const row = find_subject(base.subject);
  if (row == nullptr) {
    LOG.warning("Case for file type '%s' not implemented yet", base.subject);
    return false;
  }

  // Everything the handler is given is read here, before its thread exists.
  const Bytes origin = origin_id(base.origin);
  std::string what = "'" + base.subject + "' from " + base.origin;
  std::optional<std::filesystem::path> folder;
  if (takes_attachment(row->handling)) {
    if (!attachment.path()) throw MalformedLabel("'" + base.subject + "' without its folder");
    folder = attachment.path();
  }
  std::optional<std::string> line;  // the job whose packages are handled one after another
  HandlerThreads::Handler handler;
  switch (row->handling) {
    case Handling::job_submission:
      // In line with its own copies: one taken twice finds the first one landed.
      line = label_text(label, "job_id");
      handler = [this, origin, job_id = *line, job_name = label_text(label, "job_name"), folder] {
        handle_job_submission(origin, job_id, job_name, *folder);
      };
      break;
    case Handling::job_update:
      line = label_text(label, "job_id");
      handler = [this, origin, job_id = *line, status = label_text(label, "status")] {
        handle_job_update(origin, job_id, status);
      };
      break;
    case Handling::job_results:
      // In line with the job's updates: a repeated "job_results" finds the first one filed.
      line = label_text(label, "job_id");
      handler = [this, origin, job_id = *line, folder] {
        handle_job_results(origin, job_id, *folder);
      };
      break;
    case Handling::control_launch:
      handler = [this, origin, job_id = label_text(label, "job_id"), word = row->word] {
        handle_control_launch(origin, job_id, word);
      };
      break;
    case Handling::control_landing:
      handler = [this, origin, job_id = label_text(label, "job_id"), word = row->word] {
        handle_control_landing(origin, job_id, word);
      };
      break;
    case Handling::friend_request:
      handler = [this, origin] { handle_friend_request(origin); };
      break;
    case Handling::friend_accept:
      handler = [this, origin] { handle_friend_accept(origin); };
      break;
    case Handling::friend_reject:
      handler = [this, origin] { handle_friend_reject(origin); };
      break;
    case Handling::friend_remove:
      handler = [this, origin] { handle_friend_remove(origin); };
      break;
    case Handling::group_destruction:
      handler = [this, origin, group = label_text(label, "group")] {
        handle_group_destruction(origin, group);
      };
      break;
    case Handling::group_invitation:
      handler = [this, origin, group = label_text(label, "group")] {
        handle_group_invitation(origin, group);
      };
      break;
    case Handling::group_invitation_response:
      handler = [this, origin, group = label_text(label, "group"),
                 accepted = row->word == "accept"] {
        handle_group_invitation_response(origin, group, accepted);
      };
      break;
    case Handling::group_request:
      handler = [this, origin, group = label_text(label, "group")] {
        handle_group_request(origin, group);
      };
      break;
    case Handling::group_request_response:
      handler = [this, origin, group = label_text(label, "group"),
                 accepted = row->word == "accept"] {
        handle_group_request_response(origin, group, accepted);
      };
      break;
    case Handling::group_removal:
      handler = [this, origin, group = label_text(label, "group")] {
        handle_group_removal(origin, group);
      };
      break;
  }
  // The package leaves the inbox once its handler has ended, stored what it carries or not: a
  // kill before that takes it up again at the next start.
  HandlerThreads::Handler handled = [handler = std::move(handler), file = package.file] {
    const InboxRemoval removal{file};
    handler();
  };
  LOG.debug("Handing %s to its handler", what);
  if (line)
    handlers_.start_in_line(*line, std::move(what), std::move(handled));
  else
    handlers_.start(std::move(what), std::move(handled));
  if (folder) attachment.release();  // the handler owns it now
  return true;
}

}  // namespace velmora::model
