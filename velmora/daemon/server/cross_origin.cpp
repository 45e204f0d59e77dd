#include "velmora/daemon/server/cross_origin.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace velmora::daemon {
namespace {

constexpr std::array<std::string_view, 7> kAllowedMethods{"DELETE", "GET",   "HEAD", "OPTIONS",
                                                          "PATCH",  "POST", "PUT"};
constexpr std::string_view kAllowedMethodsText = "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT";

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// The requested header names, trimmed and sorted, joined by ", ".
std::string requested_headers(std::string_view list) {
  std::vector<std::string_view> names;
  for (std::size_t start = 0;;) {
    const std::size_t comma = list.find(',', start);
    const std::string_view name = trim(list.substr(start, comma - start));
    if (!name.empty()) names.push_back(name);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (std::string_view name : names) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return joined;
}

}  // namespace

void add_cross_origin_headers(const ApiRequest& request, ApiAnswer& answer) {
  const std::string_view origin = request.header("Origin");
  if (origin.empty()) {
    answer.headers.emplace_back("Access-Control-Allow-Origin", "*");
  } else {
    answer.headers.emplace_back("Access-Control-Allow-Origin", std::string(origin));
    answer.headers.emplace_back("Vary", "Origin");
  }
  if (request.method() != "OPTIONS") return;
  const std::string method = upper(request.header("Access-Control-Request-Method"));
  if (std::find(kAllowedMethods.begin(), kAllowedMethods.end(), method) == kAllowedMethods.end())
    return;
  if (std::string allowed = requested_headers(request.header("Access-Control-Request-Headers"));
      !allowed.empty())
    answer.headers.emplace_back("Access-Control-Allow-Headers", std::move(allowed));
  answer.headers.emplace_back("Access-Control-Allow-Methods", std::string(kAllowedMethodsText));
}

}  // namespace velmora::daemon
