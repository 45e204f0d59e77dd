// The login routes through HTTPS against the real server: "/identify_token" and "/authenticate"
// with real node objects on the fakes and tokens of the test kit's minter, and the login's mends:
// the node published only once its user matches, one login at a time, no refresh token in the
// log, and the node's user data kept for the account that first logged in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <vector>

#include "api_fixture.hpp"
#include "testing/eventually.hpp"
#include "velmora/daemon/login/node_owner.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::daemon {
namespace {

using testing::eventually;
using utils::string_to_result_json;

const std::string kSuccess = string_to_result_json(true, 0, "success");
const std::string kUnauthenticated = string_to_result_json(false, -1, "User unauthenticated");
const std::string kMismatch =
    string_to_result_json(false, -1, "Access token userinfo != Refresh token userinfo");

class Login : public ApiFixture {
 protected:
  // The answer of a guarded route for kUser: the guard's refusal before the login, the node's
  // device id after it.
  std::string guarded_answer() {
    const httplib::Result result = get("/getMyUUID", bearer(access_token()));
    return result ? result->body : "no answer";
  }
  bool logged_in() { return guarded_answer() != kUnauthenticated; }

  std::vector<std::string> daemon_messages() const {
    std::vector<std::string> messages;
    for (const auto& record : daemon_log_.records()) messages.push_back(record.message);
    return messages;
  }

  utils::log::LogCapture daemon_log_{"velmora.daemon"};
};

TEST_F(Login, IdentifyTokenAsksTheProviderAndAnswers204) {
  const std::string token = access_token();
  const httplib::Result result = post("/identify_token", R"({"access_token": ")" + token + R"("})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 204);
  EXPECT_EQ(result->body, "");
  EXPECT_EQ(idp_->userinfo_calls(token), 1);
  // A number is looked up as its decimal text; what the provider refuses fails the request.
  expect_server_page(post("/identify_token", R"({"access_token": 42})"), 500);
  EXPECT_EQ(idp_->userinfo_calls("42"), 1);
  expect_server_page(post("/identify_token", "{}"), 500);
  expect_server_page(post("/identify_token", "not json"), 400);
  expect_server_page(post("/identify_token", ""), 400);
}

TEST_F(Login, SucceedsOnceAndTheGuardedRoutesThenServeTheSameUser) {
  expect_answer(authenticate(access_token()), 200, kHtml, kSuccess);
  EXPECT_EQ(nodes_built(), 1);
  ASSERT_TRUE(state().gobj());
  EXPECT_EQ(state().gobj()->network()->username(), networking::kUser);
  EXPECT_EQ(guarded_answer(),
            string_to_result_json(true, 0, "success", "myuuid",
                                  utils::b2s(state().gobj()->network()->local_device()->uuid())));
  // The login registers nothing and starts no thread.
  EXPECT_FALSE(state().gobj()->threads_started());
  EXPECT_TRUE(requests_to("/registry/register").empty());

  // A second login is refused before its body is read.
  const std::string again = string_to_result_json(false, -1, "User is already authenticated");
  expect_answer(authenticate(access_token()), 200, kHtml, again);
  expect_answer(post("/authenticate", "not json", bearer(access_token())), 200, kHtml, again);
  EXPECT_EQ(nodes_built(), 1);
  // Without a token it is refused first, as JSON.
  expect_answer(post("/authenticate", "{}"), 500, kJson,
                string_to_result_json(false, -1, "Authorization header is expected"));
}

TEST_F(Login, NeverWritesTheRefreshTokenToTheLog) {
  log_in();
  for (const auto& record : daemon_log_.records()) {
    EXPECT_EQ(record.message.find(networking::kRefreshToken), std::string::npos) << record.message;
  }
  const std::vector<std::string> messages = daemon_messages();
  EXPECT_NE(
      std::find(messages.begin(), messages.end(),
                "refresh token = " + utils::log::token_fingerprint(networking::kRefreshToken)),
      messages.end());
}

TEST_F(Login, WhatItCannotReadBuildsNothing) {
  // A token check that fails otherwise than by refusing, here on a header of blanks.
  expect_server_page(post("/authenticate", "{}", {{"Authorization", "\v"}}), 500);
  const httplib::Headers headers = bearer(access_token());
  expect_server_page(post("/authenticate", "not json", headers), 400);
  expect_server_page(post("/authenticate", "", headers), 400);
  expect_server_page(post("/authenticate", R"({"token": "x"})", headers), 500);
  expect_server_page(post("/authenticate", R"(["refresh_token"])", headers), 500);
  EXPECT_EQ(nodes_built(), 0);
  EXPECT_FALSE(logged_in());
}

TEST_F(Login, AFailedConstructionAnswersItsErrorAndALaterLoginSucceeds) {
  make_node_with([](const std::string&,
                    const model::NodeSettings&) -> std::shared_ptr<model::Velmora> {
    throw networking::ValidityError(7, "device unknown", "    trace line one\n    trace line two");
  });
  expect_answer(
      authenticate(access_token()), 200, kHtml,
      string_to_result_json(false, 7, "device unknown\n    trace line one\n    trace line two"));
  make_node_with(nullptr);
  // The node's own constructor, with a refresh token the provider refuses.
  const httplib::Result refused = authenticate(access_token(), "refresh-unknown");
  ASSERT_TRUE(refused);
  const utils::Value answer = utils::Value::parse(refused->body);
  EXPECT_EQ(answer["code"], -1);
  EXPECT_EQ(answer["success"], false);
  EXPECT_FALSE(answer["msg"].get<std::string>().empty());
  EXPECT_FALSE(logged_in());
  const std::vector<std::string> messages = daemon_messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Login failed: "), 2);

  expect_answer(authenticate(access_token()), 200, kHtml, kSuccess);
  EXPECT_EQ(nodes_built(), 3);
}

TEST_F(Login, ARefreshTokenOfAnotherUserIsRefusedAndNothingIsPublished) {
  expect_answer(authenticate(access_token(), kOtherRefreshToken), 200, kHtml, kMismatch);
  const std::vector<std::string> messages = daemon_messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Access token userinfo (ada) != Refresh token userinfo (bob)"),
            messages.end());
  EXPECT_FALSE(logged_in());
  EXPECT_FALSE(std::filesystem::exists(owner_file(state().gobj_kwargs())));
  log_in();
}

// Mend: the node object is published only once its user matches, so a lookup that fails leaves
// no node of an unchecked account behind.
TEST_F(Login, AFailedUserLookupBuildsAndPublishesNothing) {
  const std::string token = access_token();
  idp_->set_userinfo_answer(token, {500, "broken", "text/plain"});
  expect_server_page(authenticate(token), 500);
  EXPECT_EQ(nodes_built(), 0);
  EXPECT_FALSE(logged_in());
  idp_->set_user(token, networking::kUser);
  expect_answer(authenticate(token), 200, kHtml, kSuccess);
}

TEST_F(Login, WhileTheNodeIsBuiltOtherRequestsSeeNoNode) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  make_node_with(
      [&, released](const std::string& refresh_token, const model::NodeSettings& settings) {
        entered.set_value();
        released.wait();
        return node_constructor({idp_->domain(), kAudience})(refresh_token, settings);
      });
  auto login = std::async(std::launch::async, [&] {
    const httplib::Result result = client()->Post(
        "/authenticate", bearer(access_token(kOtherUser)),
        utils::Value{{"refresh_token", networking::kRefreshToken}}.dump(), "application/json");
    return result ? result->body : "no answer";
  });
  entered.get_future().wait();
  EXPECT_EQ(guarded_answer(), kUnauthenticated);
  release.set_value();
  EXPECT_EQ(login.get(), kMismatch);
  EXPECT_EQ(guarded_answer(), kUnauthenticated);
}

// Mend: logins are serialised; overlapping ones built a node object each over one set of stores.
TEST_F(Login, OverlappingLoginsBuildOneNode) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  make_node_with(
      [&, released](const std::string& refresh_token, const model::NodeSettings& settings) {
        if (nodes_built() == 1) entered.set_value();
        released.wait();
        return node_constructor({idp_->domain(), kAudience})(refresh_token, settings);
      });
  const std::string token = access_token();
  // One answer read here first sets up the client library's parsing state, which its
  // uninstrumented code would otherwise set up under ThreadSanitizer's eyes from several threads.
  ASSERT_TRUE(get("/backend"));
  const auto login = [&] {
    return std::async(std::launch::async, [this, token] {
      const httplib::Result result = client()->Post(
          "/authenticate", bearer(token),
          utils::Value{{"refresh_token", networking::kRefreshToken}}.dump(), "application/json");
      return result ? result->body : "no answer";
    });
  };
  auto first = login();
  entered.get_future().wait();
  std::vector<std::future<std::string>> others;
  for (int i = 0; i < 4; ++i) others.push_back(login());
  ASSERT_TRUE(eventually([&] { return arrivals("/authenticate") == 5; }));
  release.set_value();
  EXPECT_EQ(first.get(), kSuccess);
  for (auto& other : others)
    EXPECT_EQ(other.get(), string_to_result_json(false, -1, "User is already authenticated"));
  EXPECT_EQ(nodes_built(), 1);
}

// Mend: the node's user data belong to the account that first logged in on them.
TEST_F(Login, AnotherAccountIsRefusedOnceTheFirstHasLoggedIn) {
  log_in();
  const std::filesystem::path owner = owner_file(state().gobj_kwargs());
  struct stat info {};
  ASSERT_EQ(::stat(owner.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(read_owner(owner), networking::kUser);

  restart_api();  // as a second start of velmorad over the same folder
  const std::string other_account = string_to_result_json(
      false, -1,
      "This node's user data belong to another account: log in with the account that first "
      "logged in on it");
  expect_answer(authenticate(access_token(kOtherUser), kOtherRefreshToken), 200, kHtml,
                other_account);
  EXPECT_EQ(nodes_built(), 1);
  EXPECT_FALSE(logged_in());
  expect_answer(authenticate(access_token()), 200, kHtml, kSuccess);
  EXPECT_EQ(read_owner(owner), networking::kUser);
}

TEST_F(Login, AnOwnerRecordThatCannotBeReadRefusesEveryLogin) {
  std::ofstream(owner_file(state().gobj_kwargs())) << "{\"user\": 1}";
  const httplib::Result result = authenticate(access_token());
  ASSERT_TRUE(result);
  const utils::Value answer = utils::Value::parse(result->body);
  EXPECT_EQ(answer["success"], false);
  EXPECT_NE(answer["msg"].get<std::string>().find("owner.json"), std::string::npos) << answer;
  EXPECT_EQ(nodes_built(), 0);
}

}  // namespace
}  // namespace velmora::daemon
