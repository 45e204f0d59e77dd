#pragma once
// The request layer of the backend client and the local API over http_request: a transport
// failure is a ConnectionError, an answer status from 400 to 599 an HTTPError (raised by
// raise_for_status, so a caller may read the answer first), and an answer body held in memory is
// bounded.
//
// Pure functions and immutable errors: safe from any thread.

#include <cstddef>
#include <string>
#include <string_view>

#include "velmora/utils/error.hpp"
#include "velmora/utils/http/http_client.hpp"

namespace velmora::utils {

// An answer status from 400 to 599. Its text reads "<status> Client Error: <reason> for url:
// <url>" ("Server Error" from 500 on), the URL shown without user information, query or fragment.
class HTTPError : public Error {
 public:
  HTTPError(long status, std::string_view url);
  long status() const noexcept { return status_; }

 private:
  long status_;
};

// A request that got no complete answer: no connection, a refused certificate, a time-out, a
// stall.
class ConnectionError : public Error {
 public:
  using Error::Error;
};

// The most a 2xx answer body held in memory may hold by default.
inline constexpr std::size_t kMaxAnswerBody = std::size_t{64} << 20;

// Sends request and returns the answer, whatever its status. A 2xx body that request.answer does
// not take goes to HttpResponse::body and may hold at most max_body bytes (ValueError beyond).
// Throws ValueError for a URL whose scheme is not http or https, ConnectionError where
// http_request throws TransferError, and otherwise what http_request throws.
HttpResponse http_exchange(HttpRequest request, std::size_t max_body = kMaxAnswerBody);

// Throws HTTPError when the answer's status is from 400 to 599; url is the request's.
void raise_for_status(const HttpResponse& response, std::string_view url);

// The standard reason phrase of an error status ("Unauthorized"); empty for an unknown one.
std::string_view reason_phrase(long status) noexcept;

}  // namespace velmora::utils
