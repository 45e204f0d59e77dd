#include "velmora/utils/http/url.hpp"

#include <gtest/gtest.h>

namespace velmora::utils {
namespace {

struct JoinCase {
  const char* base;
  const char* ref;
  const char* target;
};

// RFC 3986 sections 5.4.1 and 5.4.2.
TEST(UrlJoin, Rfc3986Examples) {
  const char* base = "http://a/b/c/d;p?q";
  const JoinCase cases[] = {
      {base, "g:h", "g:h"},
      {base, "g", "http://a/b/c/g"},
      {base, "./g", "http://a/b/c/g"},
      {base, "g/", "http://a/b/c/g/"},
      {base, "/g", "http://a/g"},
      {base, "//g", "http://g"},
      {base, "?y", "http://a/b/c/d;p?y"},
      {base, "g?y", "http://a/b/c/g?y"},
      {base, "#s", "http://a/b/c/d;p?q#s"},
      {base, "g#s", "http://a/b/c/g#s"},
      {base, "g?y#s", "http://a/b/c/g?y#s"},
      {base, ";x", "http://a/b/c/;x"},
      {base, "g;x", "http://a/b/c/g;x"},
      {base, "g;x?y#s", "http://a/b/c/g;x?y#s"},
      {base, "", "http://a/b/c/d;p?q"},
      {base, ".", "http://a/b/c/"},
      {base, "./", "http://a/b/c/"},
      {base, "..", "http://a/b/"},
      {base, "../", "http://a/b/"},
      {base, "../g", "http://a/b/g"},
      {base, "../..", "http://a/"},
      {base, "../../", "http://a/"},
      {base, "../../g", "http://a/g"},
      {base, "../../../g", "http://a/g"},
      {base, "../../../../g", "http://a/g"},
      {base, "/./g", "http://a/g"},
      {base, "/../g", "http://a/g"},
      {base, "g.", "http://a/b/c/g."},
      {base, ".g", "http://a/b/c/.g"},
      {base, "g..", "http://a/b/c/g.."},
      {base, "..g", "http://a/b/c/..g"},
      {base, "./../g", "http://a/b/g"},
      {base, "./g/.", "http://a/b/c/g/"},
      {base, "g/./h", "http://a/b/c/g/h"},
      {base, "g/../h", "http://a/b/c/h"},
      {base, "g;x=1/./y", "http://a/b/c/g;x=1/y"},
      {base, "g;x=1/../y", "http://a/b/c/y"},
      {base, "g?y/./x", "http://a/b/c/g?y/./x"},
      {base, "g?y/../x", "http://a/b/c/g?y/../x"},
      {base, "g#s/./x", "http://a/b/c/g#s/./x"},
      {base, "g#s/../x", "http://a/b/c/g#s/../x"},
      {base, "http:g", "http:g"},
  };
  for (const auto& c : cases) EXPECT_EQ(url_join(c.base, c.ref), c.target) << c.ref;
}

// The backend client's two kinds of reference: absolute endpoint paths and the relative
// token-refresh path.
TEST(UrlJoin, BackendPaths) {
  const JoinCase cases[] = {
      {"https://h:8443/api/v1?x=1#f", "/registry/register", "https://h:8443/registry/register"},
      {"https://h", "/list/users", "https://h/list/users"},
      {"https://h/a/b", "refresh/token", "https://h/a/refresh/token"},
      {"https://h/a/b/", "refresh/token", "https://h/a/b/refresh/token"},
      {"https://h", "refresh/token", "https://h/refresh/token"},
  };
  for (const auto& c : cases) EXPECT_EQ(url_join(c.base, c.ref), c.target) << c.base;
}

TEST(UrlForDisplay, DropsUserInformationQueryAndFragment) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://user:pw@h:8443/a/b?sig=x#f", "https://h:8443/a/b"},
      {"https://h/a", "https://h/a"},
      {"http://h?q", "http://h"},
      {"/path?q", "/path"},
  };
  for (const auto& [url, shown] : cases) EXPECT_EQ(url_for_display(url), shown) << url;
}

TEST(PercentEncode, KeepsOnlyUnreservedAndChosenCharacters) {
  EXPECT_EQ(percent_encode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(percent_encode("a b/c?d=e&f%"), "a%20b%2Fc%3Fd%3De%26f%25");
  EXPECT_EQ(percent_encode(std::string("\0\xff\xc3\xa9", 4)), "%00%FF%C3%A9");
  EXPECT_EQ(percent_encode("host:5000/name:tag", "/:"), "host:5000/name:tag");
}

}  // namespace
}  // namespace velmora::utils
