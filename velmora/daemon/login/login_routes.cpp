#include "velmora/daemon/login/login_routes.hpp"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "velmora/daemon/answer_triples.hpp"
#include "velmora/daemon/auth/auth_error.hpp"
#include "velmora/daemon/auth/bearer_token.hpp"
#include "velmora/daemon/auth/verify_auth.hpp"
#include "velmora/daemon/login/node_owner.hpp"
#include "velmora/daemon/module_log.hpp"
#include "velmora/daemon/validate_data.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::daemon {
namespace {

constexpr std::string_view kUserMismatch = "Access token userinfo != Refresh token userinfo";
constexpr std::string_view kOtherAccount =
    "This node's user data belong to another account: log in with the account that first "
    "logged in on it";

// An answer triple with the default content type, as the login answers.
ApiAnswer text_answer(std::string body) { return {200, std::move(body)}; }

// A backend's code as the answer carries it: an integer one as it is, any other -1 (the message
// holds the whole trace).
std::int64_t answer_code(const utils::Value& code) {
  if (code.is_number_unsigned())
    return code.get<std::uint64_t>() <= std::numeric_limits<std::int64_t>::max()
               ? code.get<std::int64_t>()
               : -1;
  return code.is_number_integer() ? code.get<std::int64_t>() : -1;
}

}  // namespace

ApiAnswer identify_token(const ApiState& state, const ApiRequest& request) {
  state.access_token2user(body_text(request, "access_token"));
  return {204, ""};
}

ApiAnswer backend(const ApiState& state) { return {200, state.gobj_kwargs().backend_url}; }

ApiAnswer Login::authenticate(const ApiRequest& request) {
  try {
    verify_auth(request, state_->identity_provider(), state_->kid2jwk());
  } catch (const AuthError& error) {
    LOG.log_error(utils::log::kError, error, "Authorization Failed");
    return json_answer(500, refusal(error.description()));
  }
  std::lock_guard lock(mutex_);
  if (state_->gobj()) {
    LOG.error("Redundant authentication call");
    return text_answer(refusal("User is already authenticated"));
  }
  const std::string refresh_token = body_text(request, "refresh_token");
  LOG.info("refresh token = %s", utils::log::token_fingerprint(refresh_token));
  // Asked before anything is built, so that another account builds nothing.
  const std::string user = state_->access_token2user(get_token_auth_header(request));

  const std::filesystem::path owner_at = owner_file(state_->gobj_kwargs());
  std::optional<std::string> owner;
  std::shared_ptr<model::Velmora> node;
  try {
    owner = read_owner(owner_at);
    if (owner && *owner != user) {
      LOG.error("Login refused: the node's user data belong to %s, not to %s", *owner, user);
      return text_answer(refusal(kOtherAccount));
    }
    node = state_->make_node(refresh_token);
  } catch (const networking::NetworkError& error) {
    LOG.log_error(utils::log::kError, error, "Login failed: ");
    return text_answer(
        utils::string_to_result_json(false, answer_code(error.code()),
                                     utils::display_text(error.msg()) + "\n" + error.req_trace()));
  } catch (const std::exception& error) {
    LOG.log_error(utils::log::kError, error, "Login failed: ");
    return text_answer(refusal(error.what()));
  }

  const std::string& node_user = node->network()->username();
  if (node_user != user) {
    LOG.error("Access token userinfo (%s) != Refresh token userinfo (%s)", user, node_user);
    return text_answer(refusal(kUserMismatch));  // the node goes unpublished
  }
  if (!owner) {
    try {
      record_owner(owner_at, user);
    } catch (const std::exception& error) {
      LOG.log_error(utils::log::kError, error, "Login failed: ");
      return text_answer(refusal(error.what()));
    }
  }
  state_->set_gobj(std::move(node));
  return text_answer(utils::string_to_result_json(true, 0, "success"));
}

}  // namespace velmora::daemon
