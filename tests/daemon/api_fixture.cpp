#include "api_fixture.hpp"

#include "testing/https_client.hpp"
#include "testing/token_minter.hpp"
#include "velmora/daemon/route_handlers.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {
namespace {

IdentityProvider fake_provider(const testing::FakeIdentityProvider& idp) {
  return {idp.domain(), kAudience};
}

}  // namespace

void expect_answer(const httplib::Result& result, int status, std::string_view content_type,
                   const std::string& body) {
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, status);
  EXPECT_EQ(result->get_header_value("Content-Type"), content_type);
  EXPECT_EQ(result->body, body);
}

void expect_server_page(const httplib::Result& result, int status) {
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, status);
  EXPECT_EQ(result->get_header_value("Content-Type"), kHtml);
  EXPECT_NE(result->body.find("<title>" + std::to_string(status) + " "), std::string::npos)
      << result->body;
}

struct ApiFixture::Api {
  explicit Api(ApiFixture& fixture)
      : state(fixture.settings(), fake_provider(*fixture.idp_),
              kid2jwk_of({{"keys", {testing::TokenMinter().jwk()}}}),
              [&fixture](const std::string& refresh_token, const model::NodeSettings& settings) {
                return fixture.build_node(refresh_token, settings);
              }),
        dispatcher(counted(fixture, route_handlers(&state, fixture.endpoints_))),
        server(&dispatcher, fixture.api_tls_.cert, fixture.api_tls_.key) {
    server.bind("127.0.0.1", 0);
    serving = std::thread([this] { server.serve(); });
  }
  ~Api() {
    server.stop();
    serving.join();
  }

  // Each handler counting the requests that reach it.
  static HandlerTable counted(ApiFixture& fixture, HandlerTable handlers) {
    for (std::size_t i = 0; i < handlers.size(); ++i)
      handlers[i] = [&arrived = fixture.arrivals_[i],
                     handler = std::move(handlers[i])](const ApiRequest& request) {
        ++arrived;
        return handler(request);
      };
    return handlers;
  }

  ApiState state;
  Dispatcher dispatcher;
  HttpsServer server;
  std::thread serving;
};

ApiFixture::ApiFixture(EndpointTable endpoints)
    : endpoints_(std::move(endpoints)),
      api_tls_(
          testing::make_self_signed_certificate(folder_.path(), "api", testing::TlsKey::ec_p256)) {
  idp_->set_refresh_token(kOtherRefreshToken, "access-" + kOtherUser);
  idp_->set_user("access-" + kOtherUser, kOtherUser);
  api_ = std::make_unique<Api>(*this);
  client_ = client();
}

ApiFixture::~ApiFixture() {
  client_.reset();  // else the server waits out its keep-alive time before it stops
  api_.reset();
}

std::string ApiFixture::access_token(const std::string& user, int variant) {
  utils::Value header = utils::Value::object();
  if (variant != 0) header["variant"] = variant;
  const std::string token = testing::TokenMinter().rs256(
      testing::TokenMinter::claims(idp_->domain(), kAudience, user), header);
  idp_->set_user(token, user);
  return token;
}

std::unique_ptr<httplib::SSLClient> ApiFixture::client() const {
  return testing::https_client("127.0.0.1", api_->server.port(), api_tls_.cert);
}

httplib::Result ApiFixture::get(const std::string& path, const httplib::Headers& headers) {
  return client_->Get(path, headers);
}

httplib::Result ApiFixture::post(const std::string& path, const std::string& body,
                                 const httplib::Headers& headers) {
  return client_->Post(path, headers, body, "application/json");
}

httplib::Result ApiFixture::authenticate(const std::string& token,
                                         const std::string& refresh_token) {
  return post("/authenticate", utils::Value{{"refresh_token", refresh_token}}.dump(),
              bearer(token));
}

void ApiFixture::log_in() {
  const httplib::Result result = authenticate(access_token());
  ASSERT_TRUE(result);
  ASSERT_EQ(result->body, utils::string_to_result_json(true, 0, "success"));
}

void ApiFixture::restart_api() {
  client_.reset();
  api_.reset();
  api_ = std::make_unique<Api>(*this);
  client_ = client();
}

ApiState& ApiFixture::state() { return api_->state; }

void ApiFixture::make_node_with(NodeFactory factory) {
  std::lock_guard lock(factory_mutex_);
  factory_ = std::move(factory);
}

int ApiFixture::arrivals(std::string_view path) const {
  const Route* route = find_route(path);
  return route ? arrivals_[static_cast<std::size_t>(route - ROUTES.data())].load() : 0;
}

std::shared_ptr<model::Velmora> ApiFixture::build_node(const std::string& refresh_token,
                                                       const model::NodeSettings& settings) {
  NodeFactory factory;
  {
    std::lock_guard lock(factory_mutex_);
    factory = factory_;
  }
  ++nodes_built_;
  if (!factory) factory = node_constructor(fake_provider(*idp_));
  return factory(refresh_token, settings);
}

}  // namespace velmora::daemon
