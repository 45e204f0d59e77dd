// What the dispatcher answers when a route's handler fails: the server's own 500 page, logged,
// never the failure's text.
#include "velmora/daemon/server/dispatcher.hpp"

#include <gtest/gtest.h>

#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"

namespace velmora::daemon {
namespace {

class Request final : public ApiRequest {
 public:
  Request(std::string method, std::string path)
      : method_(std::move(method)), path_(std::move(path)) {}
  std::string_view method() const noexcept override { return method_; }
  std::string_view path() const noexcept override { return path_; }
  std::string_view body() const noexcept override { return {}; }
  std::string_view header(std::string_view) const override { return {}; }

 private:
  std::string method_;
  std::string path_;
};

std::string header(const ApiAnswer& answer, std::string_view name) {
  for (const auto& [key, value] : answer.headers)
    if (key == name) return value;
  return "(none)";
}

TEST(Dispatcher, AnswersAFailedHandlerWithItsOwnPageAndLogsTheFailure) {
  HandlerTable handlers;
  handlers.fill([](const ApiRequest&) -> ApiAnswer {
    throw utils::RuntimeError("secret detail of the failure");
  });
  handlers[static_cast<std::size_t>(find_route("/register") - ROUTES.data())] =
      [](const ApiRequest&) -> ApiAnswer { throw 42; };
  const Dispatcher dispatcher(std::move(handlers));
  const utils::log::LogCapture log("velmora.daemon");

  for (const auto& [method, path] : {std::pair{"GET", "/getMyUUID"}, std::pair{"HEAD", "/backend"},
                                     std::pair{"POST", "/register"}}) {
    const ApiAnswer answer = dispatcher.answer(Request(method, path));
    EXPECT_EQ(answer.status, 500) << path;
    EXPECT_EQ(answer.content_type, kTextContentType);
    EXPECT_NE(answer.body.find("<title>500 Internal Server Error</title>"), std::string::npos);
    EXPECT_EQ(answer.body.find("secret"), std::string::npos);
    EXPECT_EQ(header(answer, "Access-Control-Allow-Origin"), "*");
  }
  const std::vector<utils::log::LogRecord> records = log.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].level, utils::log::kError);
  EXPECT_EQ(records[0].message, "Exception on /getMyUUID [GET]");
  EXPECT_NE(records[0].error_text.find("secret detail of the failure"), std::string::npos);
  EXPECT_EQ(records[1].message, "Exception on /backend [HEAD]");
  EXPECT_EQ(records[2].message, "Exception on /register [POST]: an unknown failure");
}

}  // namespace
}  // namespace velmora::daemon
