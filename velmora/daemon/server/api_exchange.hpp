#pragma once
// One exchange of the local API as handlers see it: the request (method, decoded path, headers,
// body) and the answer they give. Both live for one request, on the thread that serves it; an
// answer's kept body may be shared by many.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::daemon {

inline constexpr std::string_view kJsonContentType = "application/json; charset=utf-8";
inline constexpr std::string_view kTextContentType = "text/html; charset=utf-8";  // the default

class ApiRequest {
 public:
  virtual ~ApiRequest() = default;

  virtual std::string_view method() const noexcept = 0;
  virtual std::string_view path() const noexcept = 0;  // percent-decoded, without the query
  virtual std::string_view body() const noexcept = 0;  // empty when none was sent
  // The value of the first header of that name, in any letter case; empty when absent.
  virtual std::string_view header(std::string_view name) const = 0;
};

// Text made once and sent as the body of many answers, from where it is kept; never changed.
using KeptText = std::shared_ptr<const std::string>;

struct ApiAnswer {
  int status = 200;
  std::string body = {};
  std::string content_type = std::string(kTextContentType);
  std::vector<std::pair<std::string, std::string>> headers = {};  // beyond "Content-Type"
  KeptText kept_body = {};  // when set, the body of a success (status 2xx) in place of body
};

// Answers one request of its route. May throw: the dispatcher turns what escapes into a 500 page.
using Handler = std::function<ApiAnswer(const ApiRequest&)>;

}  // namespace velmora::daemon
