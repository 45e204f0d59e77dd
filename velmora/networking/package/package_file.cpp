#include "velmora/networking/package/package_file.hpp"

#include <fcntl.h>

#include "velmora/utils/disk_space.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::networking::package {
namespace {

constexpr std::string_view kLabelMember = "label.json";
constexpr std::string_view kAttachmentMember = "attachment.zip";

// Folder members as zip -6 compresses them. The package's own members are deflated at the same
// level, but "attachment.zip", compressed already, in stored blocks: a second pass of the
// compressor over it took longer than making it and saved a thousandth of its size.
constexpr int kLevel = 6;

}  // namespace

void write_package(const std::filesystem::path& package_file, std::string_view label_text,
                   const std::filesystem::path& attachment, const std::filesystem::path& work) {
  if (label_text.size() > kMaxLabelBytes)
    throw utils::ValueError("the package's label is larger than " +
                            std::to_string(kMaxLabelBytes) + " bytes, which no node takes");
  const std::filesystem::path label = work / kLabelMember;
  utils::FileDescriptor file;
  file.open(label, O_WRONLY | O_CREAT | O_EXCL);
  utils::write_all(file.get(), label_text, label);
  file.close(label);

  std::vector<ZipMember> members{{std::string(kLabelMember), label}};
  if (!attachment.empty()) {
    const std::filesystem::path zipped = work / kAttachmentMember;
    write_folder_zip(attachment, zipped, kLevel);
    members.push_back({std::string(kAttachmentMember), zipped, /*compressed=*/true});
  }
  write_zip(package_file, members, kLevel);
}

PackageTest::PackageTest(const std::filesystem::path& package_file, const PackageBounds& bounds)
    : zip_(package_file, bounds), most_bytes_(bounds.bytes), disk_reserve_(bounds.disk_reserve) {
  for (std::size_t index = 0; index < zip_.size() && !label_; ++index)
    if (zip_.name(index) == kLabelMember) label_ = index;
}

std::optional<std::string> PackageTest::read_label() {
  if (!label_) return std::nullopt;
  // Held to the declared size as it is read.
  if (zip_.declared_size(*label_) > kMaxLabelBytes)
    throw OverBound("the package's label is larger than " + std::to_string(kMaxLabelBytes) +
                    " bytes");
  std::string text;
  zip_.read(*label_, [&](std::string_view chunk) { text.append(chunk); });
  return text;
}

bool PackageTest::read_others(const std::filesystem::path& attachment_copy) {
  zip_.hold_declared_bytes(most_bytes_);
  bool has_attachment = false;
  for (std::size_t index = 0; index < zip_.size(); ++index) {
    if (index == label_) continue;
    if (zip_.name(index) != kAttachmentMember || has_attachment) {
      zip_.read(index, [](std::string_view) {});
      continue;
    }
    const std::uint64_t size = zip_.declared_size(index);
    if (const std::uint64_t free =
            utils::writable_bytes(attachment_copy.parent_path(), disk_reserve_);
        size > free)
      throw OverBound("the package's attachment of " + std::to_string(size) +
                      " bytes is more than the " + std::to_string(free) +
                      " bytes the disk has free beyond its reserve");
    utils::FileDescriptor copy;
    copy.open(attachment_copy, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
    zip_.read(index, [&](std::string_view chunk) {
      utils::write_all(copy.get(), chunk, attachment_copy);
    });
    copy.close(attachment_copy);
    has_attachment = true;
  }
  return has_attachment;
}

}  // namespace velmora::networking::package
