// Access tokens and the user's name: the identity provider's refresh-token grant, the backend's
// token route, and the user-information lookup.
#include <chrono>

#include "velmora/networking/identity_provider.hpp"
#include "velmora/networking/module_log.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/http/url.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::networking {
namespace {

constexpr std::chrono::seconds kUserinfoTimeout{60};
constexpr std::size_t kMaxUserinfo = std::size_t{1} << 20;

utils::HttpResponse post_json(const std::string& url, const Value& body) {
  return utils::http_exchange({.method = "POST",
                               .url = url,
                               .headers = {{"Content-Type", "application/json"}},
                               .body = body.dump()});
}

// The text member key of the JSON object in body: KeyError when missing, TypeError when the
// answer is no object or the member no text.
std::string body_text_member(std::string_view body, const char* key) {
  const Value answer = utils::parse_json(body);
  if (!answer.is_object()) throw utils::TypeError("answer is not a JSON object");
  return text_member(answer, key);
}

}  // namespace

std::string Network::new_access_token() {
  return refresh_in_force_.load() == TokenRefresh::gui ? new_access_token_gui()
                                                       : new_access_token_cli();
}

std::string Network::new_access_token_gui() {
  LOG.info("refreshing token gui");
  const std::string url = identity_provider_ + "/oauth/token";
  const utils::HttpResponse response = post_json(url, {{"grant_type", "refresh_token"},
                                                       {"client_id", kClientId},
                                                       {"refresh_token", refresh_token_}});
  try {
    utils::raise_for_status(response, url);
  } catch (const utils::HTTPError&) {
    refresh_in_force_.store(TokenRefresh::cli);
    return new_access_token();
  }
  return body_text_member(response.body, "access_token");
}

std::string Network::new_access_token_cli() {
  LOG.info("Refreshing token cli");
  const std::string url = utils::url_join(server_url_.value_or(""), "refresh/token");
  const utils::HttpResponse response = post_json(url, {{"refresh_token", refresh_token_}});
  utils::raise_for_status(response, url);
  return response.body;
}

std::string Network::get_username() const {
  return fetch_username(identity_provider_, access_token());
}

std::string fetch_username(const std::string& identity_provider, std::string_view access_token) {
  const std::string url = identity_provider + "/userinfo";
  utils::HttpRequest request{.url = url,
                             .headers = {{"Authorization", "Bearer " + std::string(access_token)}}};
  request.timeout = kUserinfoTimeout;
  const utils::HttpResponse response = utils::http_exchange(std::move(request), kMaxUserinfo);
  try {
    utils::raise_for_status(response, url);
  } catch (const utils::HTTPError& failure) {
    throw utils::RuntimeError(std::string("Could not retrieve user information: ") +
                              failure.what());
  }
  return body_text_member(response.body, "name");
}

}  // namespace velmora::networking
