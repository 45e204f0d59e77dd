#include "velmora/boxwright/results/change_selection.hpp"

#include <array>
#include <string_view>
#include <vector>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::boxwright {
namespace {

using utils::Value;

constexpr int kChanged = 0;
constexpr int kAdded = 1;
constexpr std::string_view kWindowsData = "Files/data";

// The components of path between any of the separators, empty ones and "." dropped.
std::vector<std::string_view> components_of(std::string_view path, std::string_view separators) {
  std::vector<std::string_view> components;
  while (!path.empty()) {
    const std::size_t end = std::min(path.find_first_of(separators), path.size());
    const std::string_view component = path.substr(0, end);
    if (!component.empty() && component != ".") components.push_back(component);
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return components;
}

std::string joined(const std::vector<std::string_view>& components, std::string_view separator) {
  std::string text;
  for (const std::string_view component : components) {
    if (!text.empty()) text += separator;
    text += component;
  }
  return text;
}

// A local relative path below "filesys"; empty for an absolute one, one that steps up, or none.
std::filesystem::path location_of(std::string_view path) {
  if (path.starts_with('/')) return {};
  std::filesystem::path location;
  for (const std::string_view component : components_of(path, "/")) {
    if (component == "..") return {};
    location /= component;
  }
  return location;
}

const std::string& path_of(const Value& entry) {
  if (!entry.is_object() || !entry.contains("Path")) throw utils::KeyError("Path");
  if (!entry.contains("Kind")) throw utils::KeyError("Kind");
  const Value& path = entry["Path"];
  if (!path.is_string())
    throw utils::ValueError("a change-list entry's \"Path\" is not text: " +
                            utils::literal_text(path));
  return path.get_ref<const std::string&>();
}

// The suffix of the path's last component: from its last ".", unless that is the component's
// first or last character.
std::string_view suffix_of(std::string_view path) {
  const auto components = components_of(path, "/");
  if (components.empty()) return {};
  const std::string_view name = components.back();
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot);
}

bool holds_excluded_fragment(std::string_view suffix) {
  static constexpr std::array<std::string_view, 4> kExcluded = {".c", ".blf", ".hdf", ".r"};
  for (const std::string_view fragment : kExcluded)
    if (suffix.find(fragment) != std::string_view::npos) return true;
  return false;
}

}  // namespace

bool selected_on_linux(const Value& entry) {
  const std::string& path = path_of(entry);
  return entry["Kind"] == kAdded && path.find("usr/local/lib") == std::string::npos;
}

bool selected_on_windows(const Value& entry) {
  const std::string& path = path_of(entry);
  if (entry["Kind"] == kAdded) return true;
  return entry["Kind"] == kChanged && path.find(kWindowsData) != std::string::npos &&
         path != kWindowsData && !holds_excluded_fragment(suffix_of(path));
}

ResultPath linux_result_path(const std::string& path) {
  const std::string_view relative = std::string_view(path).substr(path.empty() ? 0 : 1);
  // The text of a POSIX path: empty and "." components dropped; a leading "/" kept, and a
  // leading "//", which POSIX leaves to the system.
  const std::size_t slashes = std::min(relative.find_first_not_of('/'), relative.size());
  std::string request = slashes == 2 ? "//" : slashes > 0 ? "/" : "";
  request += joined(components_of(relative, "/"), "/");
  return {request.empty() ? std::string(".") : std::move(request), location_of(relative)};
}

ResultPath windows_result_path(const std::string& path) {
  if (path.find(kWindowsData) == std::string::npos) return {path, {}};
  constexpr std::string_view kFiles = "Files/";
  std::string relative;  // every "Files/" of the path removed, in one pass
  for (std::size_t start = 0;;) {
    const std::size_t at = path.find(kFiles, start);
    relative.append(path, start, at == std::string::npos ? std::string::npos : at - start);
    if (at == std::string::npos) break;
    start = at + kFiles.size();
  }
  return {"C:\\" + joined(components_of(relative, "/\\"), "\\"), location_of(relative)};
}

}  // namespace velmora::boxwright
