#include "velmora/networking/identity_provider.hpp"

#include <gtest/gtest.h>

#include "velmora/utils/error.hpp"

namespace velmora::networking {
namespace {

TEST(IdentityProvider, ChecksTheDomainBeforeUrlsAreBuiltOfIt) {
  for (const char* domain : {"login.example", "127.0.0.1:8443", "[::1]:9", "idp-2.example.com"})
    EXPECT_NO_THROW(check_domain(domain)) << domain;
  for (const char* domain : {"", "https://login.example", "login.example/x", "a@b", "x:", ":80",
                             "x:80:1", "x?y", "a b", "[::1", "x:123456", "[]"})
    EXPECT_THROW(check_domain(domain), utils::ValueError) << domain;
}

}  // namespace
}  // namespace velmora::networking
