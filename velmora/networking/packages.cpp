// Packages between nodes: made and taken through files in the client's temporary folder.
#include <chrono>
#include <string_view>

#include "velmora/networking/module_log.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/networking/package/package_file.hpp"
#include "velmora/networking/package/package_label.hpp"
#include "velmora/networking/package/zip_archive.hpp"
#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/tree_removal.hpp"
#include "velmora/utils/text/ascii_json.hpp"

namespace velmora::networking {
namespace {

// The arguments of send_pkg, which no label may be named after.
constexpr std::string_view kArgumentNames[] = {"subject", "dest_uuid", "attachment"};

// Removes path with everything below it; what cannot be removed is logged and left.
void remove_logged(const std::filesystem::path& path) noexcept {
  try {
    utils::remove_tree(path);
  } catch (const std::exception& e) {
    LOG.log_error(utils::log::kWarning, e, "Could not remove %s", path.string());
  }
}

// Temporary files and folders of one call, removed with everything in them when it ends, in the
// order they were made.
class TemporaryPaths {
 public:
  TemporaryPaths() = default;
  TemporaryPaths(const TemporaryPaths&) = delete;
  TemporaryPaths& operator=(const TemporaryPaths&) = delete;
  ~TemporaryPaths() {
    for (const auto& path : paths_) remove_logged(path);
  }

  std::filesystem::path add(std::filesystem::path path) {
    paths_.push_back(path);
    return path;
  }
  // Leaves path in place.
  void keep(const std::filesystem::path& path) { std::erase(paths_, path); }

 private:
  std::vector<std::filesystem::path> paths_;
};

void check_labels(const Value& labels) {
  if (!labels.is_object())
    throw utils::argument_type_error("labels", "dict", utils::type_name(labels));
  for (const std::string_view name : kArgumentNames)
    if (labels.contains(name))
      throw utils::TypeError("send_pkg() got multiple values for argument '" + std::string(name) +
                             "'");
}

double seconds_since_epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void throw_bad_file(const package::DamagedMember& damage) {
  throw utils::RuntimeError("Package has bad file: " + package::shown_member_name(damage.member()));
}

// The label of a refused package as far as it was read: its value, or null.
Value label_as_read(const std::optional<std::string>& text) noexcept {
  if (!text) return nullptr;
  try {
    return package::read_label(*text);
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

std::filesystem::path Network::send_pkg(const std::optional<std::string>& dest_uuid,
                                        const std::optional<std::string>& subject,
                                        const std::filesystem::path& attachment,
                                        const Value& labels) {
  if (!dest_uuid) throw utils::TypeError("send_pkg() needs a destination: dest_uuid is None");
  check_labels(labels);
  const Bytes destination = utils::s2b(*dest_uuid);
  const std::string label_text = utils::ascii_json_text(
      package::make_label(utils::b2s(local_device_->uuid()), dest_uuid, subject,
                          package::sent_time_text(seconds_since_epoch()), labels));

  TemporaryPaths made;
  const std::filesystem::path package_file =
      made.add(utils::make_temp_file(temp_folder_, "velmora-package-", ".zip"));
  const std::filesystem::path work =
      made.add(utils::make_temp_dir(temp_folder_, "velmora-package-"));
  package::write_package(package_file, label_text, attachment, work);
  _send_file(destination, package_file);
  return package_file;
}

RefusedPackage::RefusedPackage(const std::string& reason, Value label)
    : RuntimeError(reason), label_(std::move(label)) {}

ReceivedPackage Network::recv_pkg(const package::PackageBounds& bounds) {
  return read_pkg(_recv_file(bounds), bounds);
}

ReceivedPackage Network::read_pkg(const std::filesystem::path& file,
                                  const package::PackageBounds& bounds) {
  std::optional<std::string> label_text;
  ReceivedPackage received;
  received.file = file;
  try {
    TemporaryPaths made;
    const std::filesystem::path intermediate =
        made.add(utils::make_temp_dir(temp_folder_, "velmora-recv-"));
    const std::filesystem::path attachment_copy = intermediate / "attachment.zip";
    bool has_attachment = false;
    try {
      package::PackageTest test(file, bounds);
      label_text = test.read_label();
      has_attachment = test.read_others(attachment_copy);
    } catch (const package::DamagedMember& damage) {
      throw_bad_file(damage);
    }
    if (!label_text) throw utils::RuntimeError("Package does not have a label");
    received.label = package::read_label(*label_text);
    if (has_attachment) {
      const std::filesystem::path folder =
          made.add(utils::make_temp_dir(temp_folder_, "velmora-attachment-"));
      try {
        package::unpack_zip(attachment_copy, folder, bounds);
      } catch (const package::DamagedMember& damage) {
        throw_bad_file(damage);
      }
      made.keep(folder);
      received.attachment = folder;
    }
  } catch (const std::exception& failure) {
    // Past a bound or unreadable: refused whole, so that a peer's bytes never stay.
    remove_logged(file);
    throw RefusedPackage(failure.what(), label_as_read(label_text));
  }
  return received;
}

}  // namespace velmora::networking
