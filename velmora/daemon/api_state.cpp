#include "velmora/daemon/api_state.hpp"

#include <cstdint>

#include "velmora/model/velmora.hpp"

namespace velmora::daemon {
namespace {

constexpr std::int64_t kKeepaliveInterval = 30;  // seconds; no option changes it

}  // namespace

NodeFactory node_constructor(const IdentityProvider& identity_provider) {
  return [url = "https://" + identity_provider.domain](const std::string& refresh_token,
                                                       const model::NodeSettings& settings) {
    return std::make_shared<model::Velmora>(refresh_token, settings, kKeepaliveInterval, url);
  };
}

ApiState::ApiState(model::NodeSettings gobj_kwargs, IdentityProvider identity_provider,
                   Kid2Jwk kid2jwk, NodeFactory make_node)
    : gobj_kwargs_(std::move(gobj_kwargs)),
      identity_provider_(std::move(identity_provider)),
      kid2jwk_(std::move(kid2jwk)),
      access_token2user_("https://" + identity_provider_.domain),
      make_node_(make_node ? std::move(make_node) : node_constructor(identity_provider_)) {}

}  // namespace velmora::daemon
