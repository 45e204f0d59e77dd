#pragma once
// access_token2user: the user's name for an access token, asked of the identity provider's
// "/userinfo" and remembered for the 32 tokens used most recently (a hit makes its token the most
// recent; a 33rd token drops the least recent). A failed lookup is not remembered.
//
// Any thread may call it at any time; the memo's lock is never held across the lookup, so two
// concurrent first lookups of one token each ask, and one answer stays.

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmora::daemon {

class AccessToken2User {
 public:
  static constexpr std::size_t kMemoSize = 32;

  // identity_provider: its base URL, "https://" and its domain.
  explicit AccessToken2User(std::string identity_provider)
      : identity_provider_(std::move(identity_provider)) {}
  AccessToken2User(const AccessToken2User&) = delete;
  AccessToken2User& operator=(const AccessToken2User&) = delete;

  // On a miss, logs "Identifying token " and the token's fingerprint (never the token) at info
  // level and asks. Throws what networking::fetch_username throws.
  std::string operator()(std::string_view access_token) const;

 private:
  struct Entry {
    std::string token;
    std::string name;
  };

  std::optional<std::string> remembered(std::string_view token) const;
  void remember(std::string_view token, const std::string& name) const;

  const std::string identity_provider_;
  mutable std::mutex mutex_;
  mutable std::list<Entry> recent_;  // most recent first; guarded by mutex_
  // Keys view the tokens of recent_'s entries; guarded by mutex_.
  mutable std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

}  // namespace velmora::daemon
