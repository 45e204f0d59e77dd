// The endpoint guard through HTTPS against the real server, with a real node object on the fakes:
// each of its five steps and the failures it lets through to the server's own 500 page.
#include <gtest/gtest.h>

#include <set>

#include "api_fixture.hpp"
#include "testing/token_minter.hpp"
#include "velmora/daemon/route_handlers.hpp"
#include "velmora/daemon/server/request_json.hpp"
#include "velmora/daemon/validate_data.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::daemon {
namespace {

using utils::string_to_result_json;

// Endpoints of the test: one that answers a refusal of its own (with the node's user name), one
// that reads a body key; "/getMyUUID" has none.
EndpointTable test_endpoints() {
  return {
      {"getMyName",
       [](model::Velmora& gobj, const ApiRequest&) {
         return string_to_result_json(false, 0, "refused for " + gobj.network()->username());
       }},
      {"register",
       [](model::Velmora&, const ApiRequest& request) {
         return string_to_result_json(
             true, 0,
             validate_data(request_json(request), {{"uuid", Conversion::text}})["uuid"]
                 .get<std::string>());
       }},
  };
}

class EndpointGuard : public ApiFixture {
 protected:
  EndpointGuard() : ApiFixture(test_endpoints()) {}

  // The messages of the guard's log lines, without the dispatcher's.
  std::vector<std::string> guard_log() const {
    std::vector<std::string> messages;
    for (const auto& record : daemon_log_.records())
      if (record.level == utils::log::kError && !record.message.starts_with("Exception on"))
        messages.push_back(record.message);
    return messages;
  }

  utils::log::LogCapture daemon_log_{"velmora.daemon"};
};

TEST_F(EndpointGuard, BeforeTheLoginEveryGuardedRouteAnswersUnauthenticatedAndAsksNoOne) {
  const std::string token = access_token();
  for (const Route& route : ROUTES) {
    if (!route.guarded) continue;
    SCOPED_TRACE(route.path);
    for (const httplib::Headers& headers : {httplib::Headers{}, bearer(token)}) {
      const httplib::Result result = route.method == Method::kGet
                                         ? get(std::string(route.path), headers)
                                         : post(std::string(route.path), "{}", headers);
      expect_answer(result, 500, kJson, string_to_result_json(false, -1, "User unauthenticated"));
    }
  }
  EXPECT_EQ(idp_->userinfo_calls(token), 0);
  EXPECT_EQ(guard_log(),
            std::vector<std::string>(2 * 48, "Endpoint called before model construction"));
}

TEST_F(EndpointGuard, RefusesEachBadTokenWith401AndNeverRunsTheEndpoint) {
  log_in();
  const testing::TokenMinter minter;
  utils::Value claims = testing::TokenMinter::claims(idp_->domain(), kAudience);
  utils::Value expired = claims;
  expired["exp"] = expired["iat"];
  utils::Value other_audience = claims;
  other_audience["aud"] = "https://elsewhere.example";
  const std::pair<std::string, std::string> refused[] = {
      {"", "Authorization header is expected"},
      {"Basic abc", "Authorization header must start with Bearer"},
      {"Bearer", "Token not found"},
      {"Bearer a b", "Authorization header must be 'Bearer {token}'"},
      {"Bearer abc", "Incorrectly formatted authentication token"},
      {"Bearer " + minter.rs256(claims, {{"kid", "unknown"}}), "Unable to find appropriate key"},
      {"Bearer " + testing::TokenMinter::with_fresh_key(minter.kid()).rs256(claims),
       "Invalid signature."},
      {"Bearer " + minter.rs256(expired), "Expired token signature."},
      {"Bearer " + minter.rs256(other_audience), "Invalid token claims."},
  };
  for (const auto& [header, description] : refused) {
    SCOPED_TRACE(header);
    const httplib::Headers headers =
        header.empty() ? httplib::Headers{} : httplib::Headers{{"Authorization", header}};
    expect_answer(post("/register", R"({"uuid": "x"})", headers), 401, kJson,
                  string_to_result_json(false, -1, description));
  }
  EXPECT_EQ(guard_log(), std::vector<std::string>(std::size(refused), "Authorization Failed"));
  EXPECT_EQ(daemon_log_.records().back().error_text,
            "velmora::daemon::AuthError: Invalid token claims.");
}

TEST_F(EndpointGuard, LetsTheServerAnswerWhatTheTokenChecksAndTheLookupThrowOtherwise) {
  log_in();
  const std::string failing_lookup = access_token(networking::kUser, 1);
  idp_->set_userinfo_answer(failing_lookup, {503, "down for a while", "text/plain"});
  for (const std::string& header :
       {std::string("\v\f"),
        "Bearer " +
            testing::TokenMinter().rs256(testing::TokenMinter::claims(idp_->domain(), kAudience),
                                         {{"kid", nullptr}}),
        "Bearer " + failing_lookup}) {
    SCOPED_TRACE(header);
    expect_server_page(get("/getMyName", {{"Authorization", header}}), 500);
  }
  EXPECT_TRUE(guard_log().empty());
}

TEST_F(EndpointGuard, RefusesATokenOfAnotherUserWith403AndNoJsonType) {
  log_in();
  const std::string answer =
      string_to_result_json(false, -1, "Access token userinfo != Refresh token userinfo");
  for (const std::string& user : {kOtherUser, std::string("Ada")}) {  // exact, with case
    expect_answer(post("/register", R"({"uuid": "x"})", bearer(access_token(user))), 403, kHtml,
                  answer);
  }
  EXPECT_EQ(guard_log(),
            std::vector<std::string>(2, "Access token userinfo != Refresh token userinfo"));
}

TEST_F(EndpointGuard, SendsTheEndpointsTextWith200WhateverItsFlag) {
  log_in();
  const httplib::Headers headers = bearer(access_token());
  expect_answer(get("/getMyName", headers), 200, kJson,
                string_to_result_json(false, 0, "refused for " + networking::kUser));
  expect_answer(post("/register", R"({"uuid": 7, "other": 1})", headers), 200, kJson,
                string_to_result_json(true, 0, "7"));
  EXPECT_TRUE(guard_log().empty());
}

TEST_F(EndpointGuard, AnswersAnEndpointsFailureWith500AndItsTextAndLogsTheEndpointsName) {
  log_in();
  const httplib::Headers headers = bearer(access_token());
  struct Case {
    std::string path;
    std::string body;
    std::string message;
  };
  const Case failures[] = {
      {"/register", R"({"id": "x"})", "'uuid'"},
      {"/register", "[1]", "the request body must be a JSON object, not list"},
      {"/register", "{not json", ""},  // the decoder's text, checked below
      {"/getMyUUID", "", "getMyUUID is not available in this version of the node"},
  };
  for (const Case& failure : failures) {
    SCOPED_TRACE(failure.path + " " + failure.body);
    const httplib::Result result = failure.path == "/getMyUUID"
                                       ? get(failure.path, headers)
                                       : post(failure.path, failure.body, headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 500);
    EXPECT_EQ(result->get_header_value("Content-Type"), kJson);
    const utils::Value answer = utils::Value::parse(result->body);
    EXPECT_EQ(answer["success"], false);
    EXPECT_EQ(answer["code"], -1);
    if (failure.message.empty()) {
      EXPECT_TRUE(answer["msg"].get<std::string>().starts_with("Failed to decode JSON object: "))
          << answer["msg"];
    } else {
      EXPECT_EQ(answer["msg"], failure.message);
    }
  }
  EXPECT_EQ(guard_log(),
            (std::vector<std::string>{"Endpoint failed: register", "Endpoint failed: register",
                                      "Endpoint failed: register", "Endpoint failed: getMyUUID"}));
  EXPECT_NE(daemon_log_.records().back().error_text.find("not available"), std::string::npos);
}

TEST(RouteHandlers, RefuseAnEndpointOfNoGuardedRouteAndTwoOfOne) {
  ApiState state({}, {"login.example", kAudience}, {});
  const Endpoint endpoint = [](model::Velmora&, const ApiRequest&) { return std::string(); };
  for (const EndpointTable& table :
       {EndpointTable{{"nothing", endpoint}}, EndpointTable{{"authenticate", endpoint}},
        EndpointTable{{"getMyUUID", endpoint}, {"getMyUUID", endpoint}}})
    EXPECT_THROW(route_handlers(&state, table), std::logic_error);
}

}  // namespace
}  // namespace velmora::daemon
