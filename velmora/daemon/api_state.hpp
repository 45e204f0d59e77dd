#pragma once
// The process state of the local API: the node object once a login has built it (gobj), the node
// settings of the command line (gobj_kwargs), the identity provider, its signing keys (kid2jwk),
// the memo of user names (access_token2user) and the way a login builds the node object. Made
// once before serving; every member may be called from any thread, the node slot published and
// dropped from any thread too.

#include <atomic>
#include <functional>
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

// Builds the node object of a login from its refresh token and the node settings; throws what
// the construction throws.
using NodeFactory = std::function<std::shared_ptr<model::Velmora>(
    const std::string& refresh_token, const model::NodeSettings& settings)>;

// The node object's own constructor, with the identity provider at "https://<domain>" and the
// default keepalive period.
NodeFactory node_constructor(const IdentityProvider& identity_provider);

class ApiState {
 public:
  // make_node defaults to node_constructor(identity_provider).
  ApiState(model::NodeSettings gobj_kwargs, IdentityProvider identity_provider, Kid2Jwk kid2jwk,
           NodeFactory make_node = nullptr);
  ApiState(const ApiState&) = delete;
  ApiState& operator=(const ApiState&) = delete;

  // The node object, or null before the login.
  std::shared_ptr<model::Velmora> gobj() const { return gobj_.load(); }
  // Publishes the node object to every request from now on; null drops it.
  void set_gobj(std::shared_ptr<model::Velmora> node) { gobj_.store(std::move(node)); }
  // A new node object for refresh_token and gobj_kwargs(), not published. Throws what the
  // construction throws.
  std::shared_ptr<model::Velmora> make_node(const std::string& refresh_token) const {
    return make_node_(refresh_token, gobj_kwargs_);
  }

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
  const NodeFactory make_node_;
};

}  // namespace velmora::daemon
