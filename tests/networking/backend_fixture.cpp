#include "backend_fixture.hpp"

#include <cstdlib>

namespace velmora::networking {
namespace {

// Sets VELMORA_CA_FILE before the fakes exist, while the process has no other thread.
testing::TlsFiles trusted_certificate(const testing::ScopedFolder& folder) {
  testing::TlsFiles files =
      testing::make_self_signed_certificate(folder.path(), "fakes", testing::TlsKey::ec_p256);
  ::setenv("VELMORA_CA_FILE", files.cert.c_str(), 1);
  return files;
}

}  // namespace

const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                std::shared_ptr<const sealcraft::PublicKey>>&
node_keys() {
  static const auto pair = sealcraft::make_keys();
  return pair;
}

BackendFixture::BackendFixture()
    : tls_(trusted_certificate(folder_)),
      idp_(std::make_unique<testing::FakeIdentityProvider>(tls_)),
      backend_(tls_),
      device_(std::make_shared<device::LocalDevice>(utils::Bytes(std::string_view(kDeviceId)),
                                                    node_keys().second, node_keys().first)) {
  idp_->set_refresh_token(kRefreshToken, kFirstToken);
  idp_->set_user(kFirstToken, kUser);
  backend_.set_device_key(kDeviceId, node_keys().second);
}

std::unique_ptr<Network> BackendFixture::make_network() { return make_network(backend_.url()); }

std::unique_ptr<Network> BackendFixture::make_network(std::optional<std::string> server_url) {
  return std::make_unique<Network>(std::move(server_url), kRefreshToken, device_, idp_->url());
}

std::vector<testing::RecordedRequest> BackendFixture::requests_to(const std::string& path) const {
  std::vector<testing::RecordedRequest> found;
  for (auto& request : backend_.server().requests())
    if (request.path == path) found.push_back(std::move(request));
  return found;
}

}  // namespace velmora::networking
