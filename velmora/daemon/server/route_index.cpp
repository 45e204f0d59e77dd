#include "velmora/daemon/server/route_index.hpp"

#include <unordered_map>

namespace velmora::daemon {

const Route* find_route(std::string_view path) noexcept {
  static const std::unordered_map<std::string_view, const Route*> by_path = [] {
    std::unordered_map<std::string_view, const Route*> index;
    for (const Route& route : ROUTES) index.emplace(route.path, &route);
    return index;
  }();
  const auto found = by_path.find(path);
  return found == by_path.end() ? nullptr : found->second;
}

bool serves_method(const Route& route, std::string_view method) noexcept {
  if (route.method == Method::kPost) return method == "POST";
  return method == "GET" || method == "HEAD";
}

std::string_view allowed_methods(const Route& route) noexcept {
  return route.method == Method::kGet ? "GET, HEAD, OPTIONS" : "OPTIONS, POST";
}

}  // namespace velmora::daemon
