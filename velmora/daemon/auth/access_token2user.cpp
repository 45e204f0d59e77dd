#include "velmora/daemon/auth/access_token2user.hpp"

#include "velmora/daemon/module_log.hpp"
#include "velmora/networking/identity_provider.hpp"

namespace velmora::daemon {

std::string AccessToken2User::operator()(std::string_view access_token) const {
  if (std::optional<std::string> name = remembered(access_token)) return std::move(*name);
  LOG.info("Identifying token %s", utils::log::token_fingerprint(access_token));
  std::string name = networking::fetch_username(identity_provider_, access_token);
  remember(access_token, name);
  return name;
}

std::optional<std::string> AccessToken2User::remembered(std::string_view token) const {
  std::lock_guard lock(mutex_);
  const auto found = index_.find(token);
  if (found == index_.end()) return std::nullopt;
  recent_.splice(recent_.begin(), recent_, found->second);
  return found->second->name;
}

void AccessToken2User::remember(std::string_view token, const std::string& name) const {
  std::lock_guard lock(mutex_);
  if (const auto found = index_.find(token); found != index_.end()) {
    found->second->name = name;  // a concurrent lookup of the same token came first
    recent_.splice(recent_.begin(), recent_, found->second);
    return;
  }
  recent_.push_front({std::string(token), name});
  index_.emplace(recent_.front().token, recent_.begin());
  if (recent_.size() > kMemoSize) {
    index_.erase(recent_.back().token);
    recent_.pop_back();
  }
}

}  // namespace velmora::daemon
