#pragma once
// The local API with its node logged in, for the tests of the guarded endpoints: the node's
// identity is laid down first (kNodeId, a key pair the fake backend knows), so that the backend
// accepts what the node sends, and each request carries a valid token of the node's user.

#include <string>
#include <string_view>
#include <variant>

#include "api_fixture.hpp"
#include "velmora/daemon/endpoints/guarded_endpoints.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {

inline const std::string kSuccess = utils::string_to_result_json(true, 0, "success");

class LoggedInApi : public ApiFixture {
 protected:
  void SetUp() override {
    lay_down_node_identity();
    log_in();
    token_ = access_token();
  }

  model::Velmora& node() { return *state().gobj(); }

  // The kept text the endpoint of that handler name answers now, from a table of endpoints of the
  // fixture's own: what it keeps is apart from the server's. Null, and a test failure, when it
  // answers text made for the request.
  KeptText kept_text(std::string_view handler) {
    struct NoRequest final : ApiRequest {
      std::string_view method() const noexcept override { return "GET"; }
      std::string_view path() const noexcept override { return ""; }
      std::string_view body() const noexcept override { return ""; }
      std::string_view header(std::string_view) const override { return ""; }
    };
    for (const EndpointRow& row : endpoints_) {
      if (row.handler != handler) continue;
      EndpointText text = row.endpoint(node(), NoRequest());
      if (KeptText* const kept = std::get_if<KeptText>(&text)) return *kept;
    }
    ADD_FAILURE() << handler << " answered no kept text";
    return nullptr;
  }

  // The route at path asked as its method wants: a GET, or a POST of body; with the user's token.
  httplib::Result call(const std::string& path, const std::string& body = "{}") {
    const Route* route = find_route(path);
    if (route && route->method == Method::kGet) return get(path, bearer(token_));
    return post(path, body, bearer(token_));
  }

  // The JSON answer of the route at path, a test failure unless it came with status 200 as JSON.
  utils::Value answer(const std::string& path, const std::string& body = "{}") {
    return json_of(call(path, body), 200);
  }
  // The message of the route's failure, a test failure unless it is the guard's 500 answer.
  std::string failure(const std::string& path, const std::string& body = "{}") {
    const utils::Value answer = json_of(call(path, body), 500);
    EXPECT_EQ(answer.value("success", true), false);
    EXPECT_EQ(answer.value("code", 0), -1);
    return answer.value("msg", "");
  }

 private:
  static utils::Value json_of(const httplib::Result& result, int status) {
    if (!result) {
      ADD_FAILURE() << "no answer";
      return nullptr;
    }
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), kJson);
    return utils::parse_json(result->body);
  }

  std::string token_;
  const EndpointTable endpoints_ = guarded_endpoints();
};

}  // namespace velmora::daemon
