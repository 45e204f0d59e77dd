#pragma once
// The outside parties of a backend client, faked over real HTTPS and trusted through
// VELMORA_CA_FILE: an identity provider that knows the refresh token kRefreshToken (access token
// kFirstToken, user kUser) and a backend that knows the device's public key.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"
#include "velmora/device/local_device.hpp"
#include "velmora/networking/network.hpp"

namespace velmora::networking {

inline const std::string kRefreshToken = "refresh-1";
inline const std::string kFirstToken = "access-1";
inline const std::string kUser = "ada";
inline const std::string kDeviceId = "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c";

// The node's key pair, made once per test process.
const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                std::shared_ptr<const sealcraft::PublicKey>>&
node_keys();

class BackendFixture : public ::testing::Test {
 protected:
  BackendFixture();

  // A client of the fakes; server_url defaults to the fake backend's.
  std::unique_ptr<Network> make_network();
  std::unique_ptr<Network> make_network(std::optional<std::string> server_url);

  // The bodies of the requests that reached path, in order.
  std::vector<testing::RecordedRequest> requests_to(const std::string& path) const;

  testing::ScopedFolder folder_;
  testing::TlsFiles tls_;
  std::unique_ptr<testing::FakeIdentityProvider> idp_;
  testing::FakeBackend backend_;
  std::shared_ptr<device::LocalDevice> device_;
};

}  // namespace velmora::networking
