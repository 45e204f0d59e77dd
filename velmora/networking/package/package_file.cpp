#include "velmora/networking/package/package_file.hpp"

#include <fcntl.h>

#include "velmora/networking/package/zip_archive.hpp"
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

PackageContents test_package(const std::filesystem::path& package_file,
                             const std::filesystem::path& attachment_copy) {
  ZipReader zip(package_file);
  PackageContents contents;
  bool label_too_large = false;
  for (std::size_t index = 0; index < zip.size(); ++index) {
    const std::string name = zip.name(index);
    if (name == kLabelMember && !contents.label_text) {
      std::string& text = contents.label_text.emplace();
      zip.read(index, [&](std::string_view chunk) {
        if (chunk.size() > kMaxLabelBytes - std::min(kMaxLabelBytes, text.size()))
          label_too_large = true;
        else
          text.append(chunk);
      });
    } else if (name == kAttachmentMember && !contents.has_attachment) {
      utils::FileDescriptor copy;
      copy.open(attachment_copy, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
      zip.read(index, [&](std::string_view chunk) {
        utils::write_all(copy.get(), chunk, attachment_copy);
      });
      copy.close(attachment_copy);
      contents.has_attachment = true;
    } else {
      zip.read(index, [](std::string_view) {});
    }
  }
  if (label_too_large)
    throw utils::RuntimeError("Package label is larger than " + std::to_string(kMaxLabelBytes) +
                              " bytes");
  return contents;
}

}  // namespace velmora::networking::package
