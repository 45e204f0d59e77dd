#pragma once
// The outside parties of a backend client, faked over real HTTPS and trusted through
// VELMORA_CA_FILE: an identity provider that knows the refresh token kRefreshToken (access token
// kFirstToken, user kUser) and a backend that knows the device's public key. Each test has a
// temporary directory of its own (TMPDIR), so it sees every temporary file it leaves.

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
inline const std::string kPeerId = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d";

// The node's key pair, made once per test process.
const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                std::shared_ptr<const sealcraft::PublicKey>>&
node_keys();
// The key pair of a second node, kPeerId.
const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                std::shared_ptr<const sealcraft::PublicKey>>&
peer_keys();

// Takes every package waiting for the client's device, in the order sent.
std::vector<ReceivedPackage> waiting_packages(Network& client);

// Points TMPDIR back at the directory the process started with, when made and when gone.
struct OriginalTempDir {
  OriginalTempDir();
  ~OriginalTempDir();
};

class BackendFixture : public ::testing::Test {
 protected:
  BackendFixture();

  // A client of the fakes; server_url defaults to the fake backend's.
  std::unique_ptr<Network> make_network();
  std::unique_ptr<Network> make_network(std::optional<std::string> server_url);
  // A client of the fakes for the second node, peer_device_.
  std::unique_ptr<Network> make_peer_network();

  // The bodies of the requests that reached path, in order.
  std::vector<testing::RecordedRequest> requests_to(const std::string& path) const;
  // The names in the test's temporary directory, sorted, but for the fake backend's storage.
  std::vector<std::string> temp_names() const;

  OriginalTempDir original_temp_dir_;
  testing::ScopedFolder folder_;
  std::filesystem::path temp_dir_;  // TMPDIR
  testing::TlsFiles tls_;
  std::unique_ptr<testing::FakeIdentityProvider> idp_;
  testing::FakeBackend backend_;
  std::shared_ptr<device::LocalDevice> device_;
  std::shared_ptr<device::LocalDevice> peer_device_;  // kPeerId, known to the backend too
};

// Two nodes on the fakes: this one sends, the peer receives.
class TwoNodesFixture : public BackendFixture {
 protected:
  TwoNodesFixture() : sender_(make_network()), receiver_(make_peer_network()) {}

  std::unique_ptr<Network> sender_;
  std::unique_ptr<Network> receiver_;
};

}  // namespace velmora::networking
