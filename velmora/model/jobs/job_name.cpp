#include "velmora/model/jobs/job_name.hpp"

namespace velmora::model {

std::string job_name_of(std::string_view folder) {
  std::string_view last;
  while (!folder.empty()) {
    const std::size_t slash = folder.rfind('/');
    const std::string_view component =
        slash == std::string_view::npos ? folder : folder.substr(slash + 1);
    folder = slash == std::string_view::npos ? std::string_view() : folder.substr(0, slash);
    if (!component.empty() && component != ".") {
      last = component;
      break;
    }
  }
  const std::size_t dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot == last.size() - 1) return std::string(last);
  return std::string(last.substr(0, dot));
}

}  // namespace velmora::model
