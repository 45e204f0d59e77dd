// The receiving end of the packages between nodes: each package taken from the backend is handed
// to the handler of its subject, on a handler thread of its own.
#include <optional>
#include <string>
#include <string_view>

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
  // in this process, where an exit would lose it.
  while (handlers_.has_room()) {
    networking::ReceivedPackage package;
    try {
      package = network_->recv_pkg();
    } catch (const networking::ValidityError&) {
      return;  // the backend's way of saying that nothing is waiting
    } catch (const networking::RefusedPackage& refused) {
      LOG.warning("Refused a package from %s: %s", sender_of(refused.label()), refused.what());
      continue;  // nothing of it was kept
    }
    ReceivedFolder attachment(std::move(package.attachment));  // removed unless handed on
    try {
      dispatch(package.label, attachment);
    } catch (const MalformedLabel& e) {
      LOG.warning("Dropping a package with a malformed label: %s", e.what());
    }
  }
}

void Velmora::dispatch(const Value& label, ReceivedFolder& attachment) {
  const BaseLabel base = read_base_label(label);
  if (const std::string own_id = utils::b2s(device()->uuid()); base.dest != own_id) {
    LOG.error("Pkg received at wrong destination: Intended for %s, received at %s", base.dest,
              own_id);
    return;
  }
  const SubjectRow* const row = find_subject(base.subject);
  if (row == nullptr) {
    LOG.warning("Case for file type '%s' not implemented yet", base.subject);
    return;
  }

  // Everything the handler is given is read here, before its thread exists.
  const Bytes origin = origin_id(base.origin);
  std::string what = "'" + base.subject + "' from " + base.origin;
  std::optional<std::filesystem::path> folder;
  if (takes_attachment(row->handling)) {
    if (!attachment.path()) throw MalformedLabel("'" + base.subject + "' without its folder");
    folder = attachment.path();
  }
  switch (row->handling) {
    case Handling::job_submission:
      handlers_.start(std::move(what), [this, origin, job_id = label_text(label, "job_id"),
                                        job_name = label_text(label, "job_name"), folder] {
        handle_job_submission(origin, job_id, job_name, *folder);
      });
      break;
    case Handling::job_update: {
      std::string job_id = label_text(label, "job_id");
      handlers_.start_in_line(job_id, std::move(what),
                              [this, origin, job_id, status = label_text(label, "status")] {
                                handle_job_update(origin, job_id, status);
                              });
      break;
    }
    case Handling::job_results: {
      // In line with the job's updates: a repeated "job_results" finds the first one filed.
      std::string job_id = label_text(label, "job_id");
      handlers_.start_in_line(job_id, std::move(what), [this, origin, job_id, folder] {
        handle_job_results(origin, job_id, *folder);
      });
      break;
    }
    case Handling::control_launch:
      handlers_.start(std::move(what),
                      [this, origin, job_id = label_text(label, "job_id"), word = row->word] {
                        handle_control_launch(origin, job_id, word);
                      });
      break;
    case Handling::control_landing:
      handlers_.start(std::move(what),
                      [this, origin, job_id = label_text(label, "job_id"), word = row->word] {
                        handle_control_landing(origin, job_id, word);
                      });
      break;
    case Handling::friend_request:
      handlers_.start(std::move(what), [this, origin] { handle_friend_request(origin); });
      break;
    case Handling::friend_accept:
      handlers_.start(std::move(what), [this, origin] { handle_friend_accept(origin); });
      break;
    case Handling::friend_reject:
      handlers_.start(std::move(what), [this, origin] { handle_friend_reject(origin); });
      break;
    case Handling::friend_remove:
      handlers_.start(std::move(what), [this, origin] { handle_friend_remove(origin); });
      break;
    case Handling::group_destruction:
      handlers_.start(std::move(what), [this, origin, group = label_text(label, "group")] {
        handle_group_destruction(origin, group);
      });
      break;
    case Handling::group_invitation:
      handlers_.start(std::move(what), [this, origin, group = label_text(label, "group")] {
        handle_group_invitation(origin, group);
      });
      break;
    case Handling::group_invitation_response:
      handlers_.start(std::move(what), [this, origin, group = label_text(label, "group"),
                                        accepted = row->word == "accept"] {
        handle_group_invitation_response(origin, group, accepted);
      });
      break;
    case Handling::group_request:
      handlers_.start(std::move(what), [this, origin, group = label_text(label, "group")] {
        handle_group_request(origin, group);
      });
      break;
    case Handling::group_request_response:
      handlers_.start(std::move(what), [this, origin, group = label_text(label, "group"),
                                        accepted = row->word == "accept"] {
        handle_group_request_response(origin, group, accepted);
      });
      break;
    case Handling::group_removal:
      handlers_.start(std::move(what), [this, origin, group = label_text(label, "group")] {
        handle_group_removal(origin, group);
      });
      break;
  }
  if (folder) attachment.release();  // the handler owns it now
}

}  // namespace velmora::model
