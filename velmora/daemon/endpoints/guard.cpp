#include "velmora/daemon/endpoints/guard.hpp"

#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "velmora/daemon/answer_triples.hpp"
#include "velmora/daemon/auth/auth_error.hpp"
#include "velmora/daemon/auth/bearer_token.hpp"
#include "velmora/daemon/auth/verify_auth.hpp"
#include "velmora/daemon/module_log.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

constexpr std::string_view kUserMismatch = "Access token userinfo != Refresh token userinfo";

Endpoint not_built(std::string_view name) {
  return [name](model::Velmora&, const ApiRequest&) -> EndpointText {
    throw utils::NotImplementedError(std::string(name) +
                                     " is not available in this version of the node");
  };
}

ApiAnswer success(EndpointText text) {
  if (KeptText* const kept = std::get_if<KeptText>(&text)) {
    ApiAnswer answer = json_answer(200, std::string());
    answer.kept_body = std::move(*kept);
    return answer;
  }
  return json_answer(200, std::get<std::string>(std::move(text)));
}

// Steps 4 and 5: the endpoint's answer, or its failure.
ApiAnswer run(std::string_view name, const Endpoint& endpoint, model::Velmora& gobj,
              const ApiRequest& request) {
  try {
    return success(endpoint(gobj, request));
  } catch (const std::exception& error) {
    LOG.log_error(utils::log::kError, error, "Endpoint failed: %s", name);
    return json_answer(500, refusal(error.what()));
  } catch (...) {
    LOG.error("Endpoint failed: %s", name);
    return json_answer(500, refusal("an unknown failure"));
  }
}

}  // namespace

Handler diapered_endpoint(const ApiState* state, std::string_view name, Endpoint endpoint) {
  if (!endpoint) endpoint = not_built(name);
  return [state, name, endpoint = std::move(endpoint)](const ApiRequest& request) {
    // The node object is held for the whole request: nothing can take it away meanwhile.
    const std::shared_ptr<model::Velmora> gobj = state->gobj();
    if (!gobj) {
      LOG.error("Endpoint called before model construction");
      return json_answer(500, refusal("User unauthenticated"));
    }
    try {
      verify_auth(request, state->identity_provider(), state->kid2jwk());
    } catch (const AuthError& error) {
      LOG.log_error(utils::log::kError, error, "Authorization Failed");
      return json_answer(401, refusal(error.description()));
    }
    if (state->access_token2user(get_token_auth_header(request)) != gobj->network()->username()) {
      LOG.error(kUserMismatch);
      return ApiAnswer{403, refusal(kUserMismatch)};
    }
    return run(name, endpoint, *gobj, request);
  };
}

}  // namespace velmora::daemon
