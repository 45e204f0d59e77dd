#pragma once
// The process state of the local API: the node object once a login has built it (gobj), the node
// settings of the command line (gobj_kwargs), the identity provider, its signing keys (kid2jwk)
// and the memo of user names (access_token2user). Made once before serving; every member may be
// called from any thread, and the node slot set from any thread.

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "velmora/daemon/auth/access_token2user.hpp"
#include "velmora/daemon/startup/identity_provider.hpp"
#include "velmora/daemon/startup/key_set.hpp"
#include "velmora/model/node_settings.hpp"

namespace velmora::model {
class Velmora;
}

namespace velmora::daemon {

class ApiState {
 public:
  ApiState(model::NodeSettings gobj_kwargs, IdentityProvider identity_provider, Kid2Jwk kid2jwk)
      : gobj_kwargs_(std::move(gobj_kwargs)),
        identity_provider_(std::move(identity_provider)),
        kid2jwk_(std::move(kid2jwk)),
        access_token2user_("https://" + identity_provider_.domain) {}
  ApiState(const ApiState&) = delete;
  ApiState& operator=(const ApiState&) = delete;

  // The node object, or null before the login.
  std::shared_ptr<model::Velmora> gobj() const { return gobj_.load(); }
  void set_gobj(std::shared_ptr<model::Velmora> node) { gobj_.store(std::move(node)); }

  const model::NodeSettings& gobj_kwargs() const noexcept { return gobj_kwargs_; }
  const IdentityProvider& identity_provider() const noexcept { return identity_provider_; }
  const Kid2Jwk& kid2jwk() const noexcept { return kid2jwk_; }

  // The user's name for an access token, from the memo or the identity provider.
  std::string access_token2user(std::string_view access_token) const {
    return access_token2user_(access_token);
  }

 private:
  std::atomic<std::shared_ptr<model::Velmora>> gobj_;
  const model::NodeSettings gobj_kwargs_;
  const IdentityProvider identity_provider_;
  const Kid2Jwk kid2jwk_;
  const AccessToken2User access_token2user_;
};

}  // namespace velmora::daemon
