#include "velmora/utils/http/http_status.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "velmora/utils/http/url.hpp"

namespace velmora::utils {
namespace {

constexpr std::array<std::pair<long, std::string_view>, 40> kReasons{{
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {418, "I'm a Teapot"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
}};

bool is_error_status(long status) { return status >= 400 && status <= 599; }

std::string http_error_text(long status, std::string_view url) {
  std::string text = std::to_string(status);
  text += status >= 500 ? " Server Error: " : " Client Error: ";
  text += reason_phrase(status);
  text += " for url: ";
  text += url_for_display(url);
  return text;
}

bool has_http_scheme(std::string_view url) {
  const auto colon = url.find("://");
  if (colon == std::string_view::npos) return false;
  std::string scheme(url.substr(0, colon));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme == "http" || scheme == "https";
}

}  // namespace

HTTPError::HTTPError(long status, std::string_view url)
    : Error(http_error_text(status, url)), status_(status) {}

std::string_view reason_phrase(long status) noexcept {
  const auto found = std::lower_bound(kReasons.begin(), kReasons.end(), status,
                                      [](const auto& row, long key) { return row.first < key; });
  return found != kReasons.end() && found->first == status ? found->second : std::string_view();
}

HttpResponse http_exchange(HttpRequest request, std::size_t max_body) {
  if (!has_http_scheme(request.url))
    throw ValueError("URL has no http or https scheme: '" + url_for_display(request.url) + "'");

  const bool held_in_memory = std::holds_alternative<std::monostate>(request.answer);
  if (held_in_memory && (request.body_limit == 0 || request.body_limit > max_body))
    request.body_limit = max_body;
  std::string url = held_in_memory ? request.url : std::string();
  HttpResponse response;
  try {
    response = http_request(std::move(request));
  } catch (const TransferError& failure) {
    throw ConnectionError(failure.what());
  }
  if (held_in_memory && response.body_cut && response.status >= 200 && response.status <= 299)
    throw ValueError("answer of " + url_for_display(url) + " is larger than " +
                     std::to_string(max_body) + " bytes");
  return response;
}

void raise_for_status(const HttpResponse& response, std::string_view url) {
  if (is_error_status(response.status)) throw HTTPError(response.status, url);
}

}  // namespace velmora::utils
