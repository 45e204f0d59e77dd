// The request frame against the fake backend: signing, the body on the wire, token renewal and
// the reading of answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "backend_fixture.hpp"
#include "files_and_keys.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/runtime/log.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::networking {
namespace {

using testing::FakeBackend;
using utils::log::LogCapture;
using utils::log::log_text;

bool signs(const std::string& text, const Value& sig) {
  return node_keys().second->verify(utils::Bytes(text), utils::s2b(sig.get<std::string>()));
}

class SignedRequest : public BackendFixture {
 protected:
  SignedRequest() : network_(make_network()) {}

  // Scripts the next answer of "/list/users".
  void answer_next(const Value& members) {
    backend_.server().script("/list/users", FakeBackend::backend_answer(members));
  }

  std::unique_ptr<Network> network_;
};

TEST_F(SignedRequest, SignsTheLiteralTextOfTheSortedMembers) {
  const Value request = {{"uuid", "ab"}, {"address", "x"}, {"client_version", "1"},
                         {"username", "u"}};
  const Value signed_data = network_->_sign(request);
  EXPECT_EQ(keys_of(signed_data),
            (std::vector<std::string>{"address", "client_version", "username", "uuid", "sig"}));
  EXPECT_EQ(utils::s2b(signed_data["sig"].get<std::string>()).size(), 256u);
  EXPECT_TRUE(signs("{'address': 'x', 'client_version': '1', 'username': 'u', 'uuid': 'ab'}",
                    signed_data["sig"]));
  EXPECT_EQ(keys_of(request).front(), "uuid");

  const Value nested = network_->_sign({{"k", {{"z", 1}, {"a", 2}}}});
  EXPECT_TRUE(signs("{'k': {'z': 1, 'a': 2}}", nested["sig"]));

  const Value empty = network_->_sign(Value::object());
  EXPECT_EQ(keys_of(empty), std::vector<std::string>{"sig"});
  EXPECT_TRUE(signs("{}", empty["sig"]));

  // A "sig" already there is signed in its sorted place, then replaced there.
  const Value with_sig = network_->_sign({{"z", 1}, {"sig", "old"}, {"a", 2}});
  EXPECT_EQ(keys_of(with_sig), (std::vector<std::string>{"a", "sig", "z"}));
  EXPECT_TRUE(signs("{'a': 2, 'sig': 'old', 'z': 1}", with_sig["sig"]));
}

TEST_F(SignedRequest, SendsSortedJsonWithSigLastAndTheBearerHeader) {
  const Value request = {{"uuid", kDeviceId}, {"groupid", "0"}, {"Zone", "é"}};
  const Value listed = {{"msg", "OK"}, {"users_dict", Value::array()}};
  EXPECT_EQ(network_->_send_request("list_users", request), listed);
  EXPECT_EQ(network_->_send_request("list_users", request), listed);

  const auto sent = requests_to("/list/users");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].header("Authorization"), "Bearer " + kFirstToken);
  EXPECT_EQ(sent[0].header("Content-Type"), "application/json");
  const Value first = utils::parse_json(sent[0].body);
  const Value second = utils::parse_json(sent[1].body);
  EXPECT_EQ(keys_of(first), (std::vector<std::string>{"Zone", "groupid", "uuid", "sig"}));
  // The same request signs the same bytes, with a fresh salt each time.
  const std::string text = "{'Zone': 'é', 'groupid': '0', 'uuid': '" + kDeviceId + "'}";
  EXPECT_TRUE(signs(text, first["sig"]));
  EXPECT_TRUE(signs(text, second["sig"]));
  EXPECT_NE(first["sig"], second["sig"]);
}

TEST_F(SignedRequest, PathsReplaceTheWholeBasePath) {
  const auto network = make_network(backend_.url() + "/api/v1?key=x#top");
  network->_send_request("set_status", {{"uuid", kDeviceId}, {"status_type", "ONLINE"}});
  EXPECT_EQ(backend_.server().calls("/lobby/selfstatus"), 1);
}

TEST_F(SignedRequest, RefusedRequestsSendNothing) {
  EXPECT_THROW(network_->_send_request("list_everything", {{"uuid", kDeviceId}}),
               utils::KeyError);
  EXPECT_THROW(network_->_send_request("list_users", Value::array()), utils::TypeError);
  EXPECT_THROW(network_->_send_request("list_users", {{"bad", "\xff"}}), utils::ValueError);
  const auto without_base = make_network(std::nullopt);
  EXPECT_THROW(without_base->_send_request("list_users", {{"uuid", kDeviceId}}),
               utils::ValueError);
  EXPECT_TRUE(requests_to("/list/users").empty());
}

TEST_F(SignedRequest, ABadSignatureIsInvalid) {
  backend_.set_device_key(kDeviceId, sealcraft::make_keys().second);
  try {
    network_->_send_request("list_users", {{"uuid", kDeviceId}});
    FAIL() << "no error";
  } catch (const ValidityError& error) {
    EXPECT_NE(error.code(), 0);
  }
}

TEST_F(SignedRequest, AnExpiredTokenIsRenewedOnceAndTheSameBodySentAgain) {
  idp_->set_refresh_token(kRefreshToken, "access-2");
  backend_.expire_access_token(kFirstToken);
  LogCapture log("velmora.networking");

  EXPECT_EQ(network_->_send_request("list_users", {{"uuid", kDeviceId}}),
            (Value{{"msg", "OK"}, {"users_dict", Value::array()}}));
  EXPECT_EQ(network_->access_token(), "access-2");
  EXPECT_EQ(idp_->server().calls("/oauth/token"), 2);  // construction, then the renewal
  const auto sent = requests_to("/list/users");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].body, sent[1].body);
  EXPECT_EQ(sent[1].header("Authorization"), "Bearer access-2");
  EXPECT_EQ(log.messages(), std::vector<std::string>{"INFO:velmora.networking:refreshing token gui"});
  EXPECT_EQ(network_->auth_headers(), (utils::HttpHeaders{{"Authorization", "Bearer access-2"}}));
}

TEST_F(SignedRequest, ErrorStatusesAfterAtMostOneRenewalAreLoggedAndRaised) {
  struct Case {
    std::vector<testing::Answer> answers;  // in the order the backend gives them
    long status;                           // of the raised error: the last answer's
    int refreshes;
  };
  const Case cases[] = {
      {{FakeBackend::token_expired(), FakeBackend::token_expired()}, 401, 1},
      {{{401, R"({"code": "invalid_header"})"}}, 401, 0},
      {{FakeBackend::token_expired(), {503, "second answer", "text/plain"}}, 503, 1},
  };
  for (const Case& c : cases) {
    const int refreshes_before = idp_->server().calls("/oauth/token");
    for (const auto& answer : c.answers) backend_.server().script("/list/users", answer);
    LogCapture log("velmora.networking", utils::log::kError);
    try {
      network_->_send_request("list_users", {{"uuid", kDeviceId}});
      ADD_FAILURE() << "no error";
    } catch (const utils::HTTPError& error) {
      EXPECT_EQ(error.status(), c.status);
      EXPECT_TRUE(std::string(error.what()).ends_with(" for url: " + backend_.url() + "/list/users"));
    }
    EXPECT_EQ(idp_->server().calls("/oauth/token") - refreshes_before, c.refreshes);
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    // The trace, escaped as every text from outside is.
    const std::string url_line = "    URL: " + backend_.url() + "/list/users\n";
    const std::string last_lines = "    Response Status Code: " + std::to_string(c.status) +
                                   "\n    Server Response: " + c.answers.back().body + "\n";
    EXPECT_TRUE(records[0].message.starts_with(log_text(url_line)));
    EXPECT_TRUE(records[0].message.ends_with(log_text(last_lines)));
  }
}

TEST_F(SignedRequest, A401ThatIsNotJsonFailsToDecodeAndLogsNothing) {
  backend_.server().script("/list/users", {401, "<html>Unauthorized</html>", "text/html"});
  LogCapture log("velmora.networking");
  EXPECT_THROW(network_->_send_request("list_users", {{"uuid", kDeviceId}}), utils::ValueError);
  EXPECT_TRUE(log.records().empty());
  EXPECT_EQ(idp_->server().calls("/oauth/token"), 1);
}

TEST_F(SignedRequest, AServerErrorLogsTheTraceAndRaisesWithoutReadingTheAnswer) {
  backend_.server().script("/list/users", {500, "not json", "text/plain"});
  LogCapture log("velmora.networking");
  EXPECT_THROW(network_->_send_request("list_users", {{"uuid", kDeviceId}}), utils::HTTPError);
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, utils::log::kError);
  EXPECT_NE(records[0].message.find(log_text("    Response Status Code: 500\n")), std::string::npos);
}

TEST_F(SignedRequest, TheTraceShowsTheExchangeButNotTheToken) {
  const Value answer = {{"valid", true}, {"code", 5}, {"msg", "m"}};
  answer_next(answer);
  try {
    network_->_send_request("list_users", {{"uuid", kDeviceId}});
    FAIL() << "no error";
  } catch (const BackendError& error) {
    const Value sent = utils::parse_json(requests_to("/list/users").at(0).body);
    EXPECT_EQ(error.req_trace(),
              "    URL: " + backend_.url() + "/list/users\n" +
                  "    Payload: {'uuid': '" + kDeviceId + "', 'sig': " +
                  utils::literal_text(sent["sig"]) + "}\n" +
                  "    Headers: {'Authorization': 'Bearer <sha256:" +
                  utils::log::token_fingerprint(kFirstToken) + ">'}\n" +
                  "    Response Status Code: 200\n" +
                  "    Server Response: " + answer.dump() + "\n");
    EXPECT_EQ(error.req_trace().find(kFirstToken), std::string::npos);
  }
}

TEST_F(SignedRequest, AnswersAreClassifiedByCodeAndValid) {
  // A success keeps the msg and the endpoint's own members, in the answer's order.
  answer_next({{"users_dict", Value::array()}, {"valid", true}, {"code", 0}, {"msg", "m"}});
  EXPECT_EQ(keys_of(network_->_send_request("list_users", {{"uuid", kDeviceId}})),
            (std::vector<std::string>{"users_dict", "msg"}));

  for (const Value& zero : {Value(0), Value(0.0), Value(false)}) {
    answer_next({{"valid", true}, {"code", zero}, {"msg", "m"}});
    EXPECT_EQ(network_->_send_request("list_users", {{"uuid", kDeviceId}}), (Value{{"msg", "m"}}));
  }

  struct Failure {
    Value valid;
    Value code;
    bool backend_error;
  };
  const Failure failures[] = {{true, 5, true}, {false, 5, false}, {1, "0", true}, {"", nullptr, false}};
  for (const Failure& f : failures) {
    answer_next({{"valid", f.valid}, {"code", f.code}, {"msg", "m"}});
    try {
      network_->_send_request("list_users", {{"uuid", kDeviceId}});
      ADD_FAILURE() << "no error for " << f.code;
    } catch (const NetworkError& error) {
      EXPECT_EQ(dynamic_cast<const BackendError*>(&error) != nullptr, f.backend_error) << f.code;
      EXPECT_EQ(error.code(), f.code);
      EXPECT_EQ(error.msg(), "m");
    }
  }
}

TEST_F(SignedRequest, AnInvalidAnswerWithCodeZeroIsAWarning) {
  answer_next({{"valid", false}, {"code", 0}, {"msg", "m"}});
  LogCapture log("velmora.networking");
  EXPECT_EQ(network_->_send_request("list_users", {{"uuid", kDeviceId}}), (Value{{"msg", "m"}}));
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, utils::log::kWarning);
  EXPECT_TRUE(records[0].message.starts_with(log_text("Code 0: m\n    URL: ")));
  const std::string answered = Value{{"valid", false}, {"code", 0}, {"msg", "m"}}.dump();
  EXPECT_TRUE(records[0].message.ends_with(
      log_text("    Response Status Code: 200\n    Server Response: " + answered + "\n")));
}

// What the backend answers reaches the log as an argument does: escaped, on one line, so that
// neither a server error's body nor the msg of an invalid answer can forge a line or drive a
// terminal.
TEST_F(SignedRequest, BackendTextsReachTheLogEscapedOnOneLine) {
  const std::string hostile = std::string("\x1b[2J\0tail\xe2\x80\xa8", 12) +
                              "\nERROR:velmora.model:forged by the backend";
  const std::string escaped =
      "\\x1b[2J\\x00tail\\u2028\\nERROR:velmora.model:forged by the backend";
  backend_.server().script("/list/users", {500, hostile, "text/plain"});
  answer_next({{"valid", false}, {"code", 0}, {"msg", hostile}});
  LogCapture log("velmora.networking");
  EXPECT_THROW(network_->_send_request("list_users", {{"uuid", kDeviceId}}), utils::HTTPError);
  network_->_send_request("list_users", {{"uuid", kDeviceId}});

  const auto records = log.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, utils::log::kError);
  EXPECT_EQ(records[1].level, utils::log::kWarning);
  EXPECT_TRUE(records[1].message.starts_with("Code 0: " + escaped + "\\n    URL: "));
  for (const auto& record : records) {
    EXPECT_NE(record.message.find(escaped), std::string::npos) << record.message;
    EXPECT_TRUE(std::none_of(record.message.begin(), record.message.end(),
                             [](unsigned char c) { return c < 0x20 || c == 0x7F; }))
        << record.message;
    EXPECT_EQ(record.message.find("\xe2\x80\xa8"), std::string::npos);
  }
}

TEST_F(SignedRequest, MalformedAnswersFailWithTheMissingMember) {
  struct Case {
    std::string body;
    std::string missing;  // the key error's text; empty for another error
  };
  const Case cases[] = {
      {R"({"code": 0, "msg": "m"})", "'valid'"},
      {R"({"valid": true, "msg": "m"})", "'code'"},
      {R"({"valid": true, "code": 3})", "'msg'"},
      {R"({"valid": false, "code": 0})", "'msg'"},
  };
  for (const Case& c : cases) {
    backend_.server().script("/list/users", {200, c.body});
    try {
      network_->_send_request("list_users", {{"uuid", kDeviceId}});
      ADD_FAILURE() << "no error for " << c.body;
    } catch (const utils::KeyError& error) {
      EXPECT_EQ(std::string(error.what()), c.missing);
    }
  }
  backend_.server().script("/list/users", {200, "[1, 2]"});
  EXPECT_THROW(network_->_send_request("list_users", {{"uuid", kDeviceId}}), utils::TypeError);
  backend_.server().script("/list/users", {200, "OK", "text/plain"});
  EXPECT_THROW(network_->_send_request("list_users", {{"uuid", kDeviceId}}), utils::ValueError);
}

TEST_F(SignedRequest, ManyThreadsSendWhileTheTokenIsRenewed) {
  idp_->set_refresh_token(kRefreshToken, "access-2");
  backend_.expire_access_token(kFirstToken);
  constexpr int kThreads = 8;
  constexpr int kRequestsEach = 4;
  std::atomic<int> answered = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequestsEach; ++i) {
        const Value request = {
            {"uuid", kDeviceId}, {"thread", t}, {"round", i}, {"status_type", "ONLINE"}};
        if (network_->_send_request("set_status", request) == Value{{"msg", "OK"}}) ++answered;
        (void)network_->auth_headers();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(answered, kThreads * kRequestsEach);
  EXPECT_EQ(network_->access_token(), "access-2");
}

}  // namespace
}  // namespace velmora::networking
