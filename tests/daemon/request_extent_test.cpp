// Where a request ends among the bytes a connection received, for every way a request may be
// framed, malformed or too large, whether its bytes come at once or a few at a time, and the work
// that framing takes either way.
#include "velmora/daemon/server/request_extent.hpp"

#include <gtest/gtest.h>

#include <string>

#include "velmora/daemon/bounds.hpp"

namespace velmora::daemon {
namespace {

constexpr std::size_t kHead = 256;
constexpr std::size_t kBody = 64;

struct Case {
  std::string bytes;
  std::size_t length;  // 0: more must come
  bool close_after;
};

TEST(RequestExtent, EndsEachRequestWhereItsFramingSays) {
  const std::string get = "GET /backend HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string post = "POST /register HTTP/1.1\r\nHost: x\r\n";
  // chunks of little data and long extensions, their framing past another head's worth
  const std::string framing_heavy = post + "Transfer-Encoding: chunked\r\n\r\n1;" +
                                    std::string(2 * kHead, 'e') + "\r\nx\r\n1;";
  const Case cases[] = {
      // heads alone, with the next request behind them, and cut short
      {get, get.size(), false},
      {get + "GET /", get.size(), false},
      {get.substr(0, get.size() - 1), 0, false},
      {"", 0, false},
      {"NOT A REQUEST\r\n\r\n", 17, false},
      // bodies of the methods whose body is read: by length, in chunks, or none declared
      {post + "Content-Length: 2\r\n\r\n{}GET", post.size() + 23, false},
      {post + "content-length:  2 \r\n\r\n{", 0, false},
      {post + "\r\n", post.size() + 2, false},
      {post + "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\nGET",
       post.size() + 42, false},
      {post + "Transfer-Encoding: Chunked\r\n\r\n1;x=y\r\n{\r\n0\r\nT: 1\r\n\r\n",
       post.size() + 51, false},
      {post + "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n", 0, false},
      {post + "Transfer-Encoding: chunked\r\n\r\n2\r\n{", 0, false},
      // a body on another method, or one whose end cannot be known, is left unread
      {get.substr(0, get.size() - 2) + "Content-Length: 3\r\n\r\nabc", get.size() + 19, true},
      {post + "Transfer-Encoding: gzip\r\n\r\nabc", post.size() + 27, true},
      {post + "Content-Length: 2x\r\n\r\n{}", post.size() + 22, true},
      {post + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", post.size() + 40, true},
      // past the bounds, or malformed chunks: cut where the bytes end, the connection closed
      {post + "Content-Length: 65\r\n\r\n", post.size() + 22, true},
      {post + "Transfer-Encoding: chunked\r\n\r\n41\r\n", post.size() + 34, true},
      {post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", post.size() + 34, true},
      {post + "Transfer-Encoding: chunked\r\n\r\n1\r\n{}\r\n", post.size() + 37, true},
      {framing_heavy, framing_heavy.size(), true},
      {"GET /" + std::string(kHead, 'a'), kHead, true},
      {"GET /" + std::string(kHead, 'a') + "\r\n\r\n", kHead, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const RequestExtent extent = RequestFraming(kHead, kBody).extent(c.bytes);
    EXPECT_EQ(extent.length, c.length);
    EXPECT_EQ(extent.close_after, c.close_after);

    // Framing that resumes as the bytes come one at a time finds, on each of their prefixes, what
    // framing the prefix at once finds.
    RequestFraming resumed(kHead, kBody);
    for (std::size_t size = 0; size <= c.bytes.size(); ++size) {
      const std::string_view prefix = std::string_view(c.bytes).substr(0, size);
      const RequestExtent at_once = RequestFraming(kHead, kBody).extent(prefix);
      const RequestExtent piecewise = resumed.extent(prefix);
      ASSERT_EQ(piecewise.length, at_once.length) << size;
      ASSERT_EQ(piecewise.close_after, at_once.close_after) << size;
      if (at_once.length > 0) break;
    }
  }
}

// The bytes framing looks at over a large request are about the same whether it comes in one
// piece or a byte at a time: a head of many headers before a body of declared length, and a body
// of one-byte chunks.
TEST(RequestExtent, FramingWorkDoesNotGrowWithTheNumberOfPieces) {
  std::string many_headers = "POST /register HTTP/1.1\r\nHost: x\r\n";
  while (many_headers.size() < kMaxRequestHead - 100) many_headers += "X-A: b\r\n";
  std::string chunked = "POST /register HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  while (chunked.size() < kMaxRequestBody) chunked += "1\r\nX\r\n";
  const std::string requests[] = {
      many_headers + "Content-Length: " + std::to_string(kMaxRequestBody) + "\r\n\r\n" +
          std::string(kMaxRequestBody, 'b'),
      chunked + "0\r\n\r\n",
  };
  for (const std::string& request : requests) {
    RequestFraming at_once(kMaxRequestHead, kMaxRequestBody);
    const RequestExtent whole = at_once.extent(request);
    ASSERT_EQ(whole.length, request.size());
    ASSERT_FALSE(whole.close_after);

    RequestFraming piecewise(kMaxRequestHead, kMaxRequestBody);
    RequestExtent extent;
    for (std::size_t size = 1; size <= request.size() && extent.length == 0; ++size)
      extent = piecewise.extent(std::string_view(request).substr(0, size));
    EXPECT_EQ(extent.length, request.size());
    EXPECT_LE(piecewise.scanned(), 3 * at_once.scanned());
  }
}

}  // namespace
}  // namespace velmora::daemon
