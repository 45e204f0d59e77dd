#include "velmora/daemon/server/error_page.hpp"

#include <string_view>

namespace velmora::daemon {
namespace {

struct ErrorText {
  int status;
  std::string_view reason;
  std::string_view explanation;
};

constexpr ErrorText kErrors[] = {
    {400, "Bad Request", "The request could not be understood."},
    {404, "Not Found", "No route of this API has that path."},
    {405, "Method Not Allowed", "The route does not answer that method."},
    {413, "Payload Too Large", "The request body is larger than this API accepts."},
    {414, "URI Too Long", "The request target is longer than this API accepts."},
    {500, "Internal Server Error", "The request failed inside the server."},
};

}  // namespace

std::string error_page(int status) {
  ErrorText text{status, "Error", "The request failed."};
  for (const ErrorText& known : kErrors)
    if (known.status == status) text = known;
  const std::string title = std::to_string(status) + " " + std::string(text.reason);
  std::string page = "<!doctype html>\n<html lang=\"en\">\n<title>" + title + "</title>\n<h1>";
  page.append(text.reason).append("</h1>\n<p>").append(text.explanation).append("</p>\n");
  return page;
}

}  // namespace velmora::daemon
