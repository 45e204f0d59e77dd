#include "velmora/daemon/startup/key_set.hpp"

#include <cctype>
#include <string_view>

#include "velmora/networking/identity_provider.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/http/http_client.hpp"
#include "velmora/utils/http/url.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

constexpr std::size_t kMaxKeySetBytes = 1 << 20;
constexpr int kMaxRedirects = 30;

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool is_https(std::string_view url) {
  constexpr std::string_view scheme = "https://";
  if (url.size() < scheme.size()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
  return true;
}

// The body of the answer at url, after its redirects.
std::string fetch_following_redirects(std::string url, std::chrono::milliseconds timeout) {
  for (int redirects = 0;; ++redirects) {
    std::string body;
    utils::HttpRequest request{.url = url};
    request.timeout = timeout;
    request.answer = utils::ChunkSink([&body](std::string_view chunk) {
      if (body.size() + chunk.size() > kMaxKeySetBytes)
        throw utils::ValueError("the key set is larger than 1 MiB");
      body.append(chunk);
    });
    utils::HttpResponse response = utils::http_request(request);
    const std::string* const location = response.header("location");
    if (!is_redirect(response.status) || !location) {
      return response.status >= 200 && response.status < 300 ? std::move(body)
                                                              : std::move(response.body);
    }
    if (redirects == kMaxRedirects)
      throw utils::RuntimeError("more than 30 redirects fetching the key set");
    url = utils::url_join(url, *location);
    if (!is_https(url))
      throw utils::RuntimeError("the key set is redirected to an address that is not HTTPS");
  }
}

}  // namespace

Kid2Jwk kid2jwk_of(const utils::Value& jwks) {
  if (!jwks.is_object()) throw utils::TypeError("the key set is not a JSON object");
  const auto keys = jwks.find("keys");
  if (keys == jwks.end()) throw utils::KeyError("keys");
  if (!keys->is_array()) throw utils::TypeError("the key set's \"keys\" is not a list");
  Kid2Jwk kid2jwk;
  for (const utils::Value& key : *keys) {
    if (!key.is_object()) throw utils::TypeError("a key of the key set is not a JSON object");
    const auto kid = key.find("kid");
    if (kid == key.end()) throw utils::KeyError("kid");
    if (!kid->is_string()) throw utils::TypeError("a key id of the key set is not text");
    kid2jwk.insert_or_assign(kid->get<std::string>(), Jwk{key, Rs256Key::from_jwk(key)});
  }
  return kid2jwk;
}

Kid2Jwk fetch_key_set(const IdentityProvider& provider, std::chrono::milliseconds timeout) {
  networking::check_domain(provider.domain);
  return kid2jwk_of(utils::parse_json(fetch_following_redirects(
      "https://" + provider.domain + "/.well-known/jwks.json", timeout)));
}

}  // namespace velmora::daemon
