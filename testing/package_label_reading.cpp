#include "testing/package_label_reading.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <memory>
#include <string>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::testing {
namespace {

constexpr std::size_t kMaxLabelBytes = std::size_t{1} << 20;

}  // namespace

utils::Value package_label(const std::filesystem::path& file) {
  const std::unique_ptr<archive, decltype(&archive_read_free)> zip(archive_read_new(),
                                                                   &archive_read_free);
  archive_read_support_format_zip(zip.get());
  if (archive_read_open_filename(zip.get(), file.c_str(), 10240) != ARCHIVE_OK) return nullptr;
  archive_entry* entry = nullptr;
  while (archive_read_next_header(zip.get(), &entry) == ARCHIVE_OK) {
    const char* name = archive_entry_pathname(entry);
    if (name == nullptr || std::strcmp(name, "label.json") != 0) continue;
    std::string text;
    char buffer[4096];
    for (la_ssize_t n; (n = archive_read_data(zip.get(), buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(n));
      if (text.size() > kMaxLabelBytes) return nullptr;
    }
    try {
      return utils::parse_json(text);
    } catch (const utils::ValueError&) {
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace velmora::testing
