#include "testing/fake_backend.hpp"

#include <array>
#include <string_view>

#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::testing {
namespace {

using utils::Value;

// The backend's endpoint table, as the backend serves it.
constexpr std::array<std::string_view, 10> kEndpointPaths{
    "/registry/register",      "/registry/unregister",      "/lobby/selfstatus",
    "/list/users",             "/list/user",                "/transfer/sendfilereq",
    "/transfer/sendfilecom",   "/transfer/receivefilereq",  "/transfer/receivefilecom",
    "/group/function",
};

bool is_endpoint(std::string_view path) {
  for (const std::string_view endpoint : kEndpointPaths)
    if (endpoint == path) return true;
  return false;
}

Answer invalid(int code, const char* msg) {
  return FakeBackend::backend_answer({{"valid", false}, {"code", code}, {"msg", msg}});
}

// The literal text of body's members without "sig", in ascending key order.
std::string signed_text(const Value& body) {
  std::map<std::string, const Value*> members;
  for (const auto& [key, value] : body.items())
    if (key != "sig") members.emplace(key, &value);
  Value sorted = Value::object();
  for (const auto& [key, value] : members) sorted[key] = *value;
  return utils::literal_text(sorted);
}

// Whether body's "sig" is key's signature of the literal text of its other members, sorted.
bool signature_is_valid(const Value& body, const sealcraft::PublicKey& key) {
  const auto sig = body.find("sig");
  if (sig == body.end() || !sig->is_string()) return false;
  try {
    return key.verify(utils::Bytes(signed_text(body)), utils::s2b(sig->get<std::string>()));
  } catch (const utils::ValueError&) {
    return false;  // a "sig" that is no b2s text
  }
}

}  // namespace

FakeBackend::FakeBackend(const TlsFiles& tls)
    : server_(tls, [this](const RecordedRequest& request) { return route(request); }) {}

void FakeBackend::set_refresh_token(const std::string& refresh_token,
                                    const std::string& access_token) {
  std::lock_guard lock(mutex_);
  access_tokens_[refresh_token] = access_token;
}

void FakeBackend::expire_access_token(const std::string& access_token) {
  std::lock_guard lock(mutex_);
  expired_tokens_.insert(access_token);
}

void FakeBackend::set_device_key(const std::string& uuid,
                                 std::shared_ptr<const sealcraft::PublicKey> key) {
  std::lock_guard lock(mutex_);
  device_keys_[uuid] = std::move(key);
}

Answer FakeBackend::token_expired() {
  return {401, Value{{"code", "token_expired"}, {"description", "Token expired"}}.dump()};
}

Answer FakeBackend::backend_answer(const Value& members) { return {200, members.dump()}; }

Answer FakeBackend::route(const RecordedRequest& request) {
  if (request.method != "POST") return {405, "Method Not Allowed", "text/plain"};
  const std::string_view path = request.path;
  if (path == "/refresh/token" || path.ends_with("/refresh/token")) return refresh_token(request);
  if (is_endpoint(path)) return signed_request(request);
  return {404, "Not Found", "text/plain"};
}

Answer FakeBackend::refresh_token(const RecordedRequest& request) {
  Value body;
  try {
    body = utils::parse_json(request.body);
  } catch (const utils::ValueError&) {
    return {400, "The body is not JSON", "text/plain"};
  }
  const auto refresh = body.is_object() ? body.find("refresh_token") : body.end();
  std::lock_guard lock(mutex_);
  const auto found = refresh != body.end() && refresh->is_string()
                         ? access_tokens_.find(refresh->get<std::string>())
                         : access_tokens_.end();
  if (found == access_tokens_.end()) return {401, "Unknown refresh token", "text/plain"};
  return {200, found->second, "text/plain"};
}

Answer FakeBackend::signed_request(const RecordedRequest& request) {
  const std::string token = request.bearer_token();
  if (token.empty()) {
    return {401, Value{{"code", "authorization_header_missing"},
                       {"description", "Authorization header is expected"}}
                     .dump()};
  }
  Value body;
  try {
    body = utils::parse_json(request.body);
  } catch (const utils::ValueError&) {
    return {400, "The body is not JSON", "text/plain"};
  }
  if (!body.is_object()) return {400, "The body is not a JSON object", "text/plain"};

  std::shared_ptr<const sealcraft::PublicKey> key;
  {
    std::lock_guard lock(mutex_);
    if (expired_tokens_.contains(token)) return token_expired();
    const auto uuid = body.find("uuid");
    const auto found = uuid != body.end() && uuid->is_string()
                           ? device_keys_.find(uuid->get<std::string>())
                           : device_keys_.end();
    if (found != device_keys_.end()) key = found->second;
  }
  if (!key) return invalid(3, "Unknown device");
  if (!signature_is_valid(body, *key)) return invalid(2, "Invalid signature");
  return backend_answer({{"valid", true}, {"code", 0}, {"msg", "OK"}});
}

}  // namespace velmora::testing
