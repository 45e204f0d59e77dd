// The request frame of every backend operation: sign, post, renew the token once, check the
// answer.
#include <utility>

#include "velmora/networking/module_log.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/networking/request_frame.hpp"
#include "velmora/sealcraft/keys.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/http/url.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::networking {
namespace {

std::string_view endpoint_path(std::string_view endpoint) {
  for (const auto& [name, path] : Network::ENDPOINTS)
    if (name == endpoint) return path;
  throw utils::KeyError(Value(std::string(endpoint)));
}

std::string json_text(const Value& value) {
  try {
    return value.dump();
  } catch (const Value::type_error& failure) {
    throw utils::ValueError(std::string("request cannot be written as JSON: ") + failure.what());
  }
}

// The JSON object of a backend answer.
Value answer_object(std::string_view body) {
  Value answer = utils::parse_json(body);
  if (!answer.is_object()) throw utils::TypeError("backend answer is not a JSON object");
  return answer;
}

// Removes key from answer and returns its value; KeyError when it is missing.
Value take_member(Value& answer, const char* key) {
  const auto found = answer.find(key);
  if (found == answer.end()) throw utils::KeyError(Value(key));
  Value member = std::move(*found);
  answer.erase(found);
  return member;
}

const Value& member(const Value& answer, const char* key) {
  const auto found = answer.find(key);
  if (found == answer.end()) throw utils::KeyError(Value(key));
  return *found;
}

// A 401 whose "code" is "token_expired". Any other 401 body that is not a JSON object with a
// "code" fails here, before the status check.
bool token_expired(const utils::HttpResponse& response) {
  if (response.status != 401) return false;
  const Value answer = answer_object(response.body);
  const Value& code = member(answer, "code");
  return code.is_string() && code.get_ref<const std::string&>() == "token_expired";
}

}  // namespace

utils::Value Network::_sign(const utils::Value& data) const {
  Value signed_data = sorted_members(data);
  std::string text;
  utils::append_literal_text(text, signed_data);
  const Bytes signature = local_device_->private_key()->sign(Bytes(std::move(text)));
  signed_data["sig"] = utils::b2s(signature);
  return signed_data;
}

utils::HttpResponse Network::post_signed(const std::string& url, const std::string& body,
                                         std::string body_storage) const {
  utils::HttpHeaders headers = auth_headers();
  headers.emplace_back("Content-Type", "application/json");
  return utils::http_exchange({.method = "POST",
                               .url = url,
                               .headers = std::move(headers),
                               .body = body,
                               .body_storage = std::move(body_storage)});
}

Network::SignedExchange Network::signed_exchange(std::string_view endpoint,
                                                 const utils::Value& data,
                                                 std::string body_storage) {
  SignedExchange exchange;
  exchange.url = utils::url_join(server_url_.value_or(""), endpoint_path(endpoint));
  exchange.signed_data = _sign(data);
  const std::string body = json_text(exchange.signed_data);

  exchange.response = post_signed(exchange.url, body, std::move(body_storage));
  if (token_expired(exchange.response)) {
    const std::string token = new_access_token();
    {
      std::lock_guard lock(fields_mutex_);
      access_token_ = token;
    }
    exchange.response = post_signed(exchange.url, body, std::move(exchange.response.body));
  }
  try {
    utils::raise_for_status(exchange.response, exchange.url);
  } catch (const utils::HTTPError&) {
    LOG.error("%s", trace(exchange));
    throw;
  }
  return exchange;
}

utils::Value Network::checked_answer(const SignedExchange& exchange) const {
  Value answer = answer_object(exchange.response.body);
  const Value valid = take_member(answer, "valid");
  const Value code = take_member(answer, "code");
  if (code_counts_as_zero(code)) {
    if (!utils::truth_value(valid))
      LOG.warning("%s", network_error_text(code, member(answer, "msg"), trace(exchange)));
    return answer;
  }
  if (utils::truth_value(valid)) throw BackendError(code, member(answer, "msg"), trace(exchange));
  throw ValidityError(code, member(answer, "msg"), trace(exchange));
}

utils::Value Network::_send_request(std::string_view endpoint, const utils::Value& data) {
  return checked_answer(signed_exchange(endpoint, data));
}

// Made only where it is shown: it copies the whole answer.
std::string Network::trace(const SignedExchange& exchange) const {
  return request_trace(exchange.url, exchange.signed_data, trace_headers(),
                       exchange.response.status, exchange.response.body);
}

}  // namespace velmora::networking
