#include "velmora/utils/http/trusted_authorities.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "testing/background_server.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"
#include "velmora/utils/http/http_client.hpp"

namespace velmora::utils {
namespace {

TEST(TrustedAuthorities, AStoreIsSharedUntilItsFileIsReplaced) {
  const testing::ScopedFolder folder;
  const auto first = testing::make_self_signed_certificate(folder.path(), "first",
                                                           testing::TlsKey::ec_p256);
  const auto second = testing::make_self_signed_certificate(folder.path(), "second",
                                                            testing::TlsKey::ec_p256);
  const auto trusted = folder.path() / "trusted.pem";
  std::filesystem::copy_file(first.cert, trusted);

  httplib::SSLServer server(second.cert.c_str(), second.key.c_str());
  server.Get("/hello", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello", "text/plain");
  });
  const testing::BackgroundServer running(&server);
  const HttpRequest request{.url = "https://127.0.0.1:" + std::to_string(running.port()) + "/hello",
                            .trusted_ca_file = trusted};

  EXPECT_THROW(http_request(request), TransferError);
  const X509StoreRef before = trusted_authorities(trusted, "");
  EXPECT_EQ(trusted_authorities(trusted, "").get(), before.get());

  std::filesystem::copy_file(second.cert, folder.path() / "next.pem");
  std::filesystem::rename(folder.path() / "next.pem", trusted);
  EXPECT_EQ(http_request(request).body, "hello");
  EXPECT_NE(trusted_authorities(trusted, "").get(), before.get());

  // The system's authorities with an extra bundle, kept apart from the bundle alone.
  EXPECT_NE(trusted_authorities("", trusted).get(), trusted_authorities(trusted, "").get());
  EXPECT_THROW(trusted_authorities(folder.path() / "missing.pem", ""), OSError);
  EXPECT_THROW(trusted_authorities("", folder.path() / "missing.pem"), OSError);
}

}  // namespace
}  // namespace velmora::utils
