#include "backend_fixture.hpp"

#include <algorithm>
#include <cstdlib>

namespace velmora::networking {
namespace {

// Sets VELMORA_CA_FILE and TMPDIR before the fakes exist, while the process has no other thread;
// and TZ, when unset, to the zone it stands for: unset, glibc sets its zone up again at every
// local time conversion (zip entries' times, here and in the fake backend), under a lock that
// ThreadSanitizer does not see.
testing::TlsFiles trusted_certificate(const testing::ScopedFolder& folder,
                                      const std::filesystem::path& temp_dir) {
  testing::TlsFiles files =
      testing::make_self_signed_certificate(folder.path(), "fakes", testing::TlsKey::ec_p256);
  ::setenv("VELMORA_CA_FILE", files.cert.c_str(), 1);
  std::filesystem::create_directory(temp_dir);
  ::setenv("TMPDIR", temp_dir.c_str(), 1);
  ::setenv("TZ", ":/etc/localtime", 0);
  return files;
}

std::shared_ptr<device::LocalDevice> make_device(
    const std::string& id,
    const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                    std::shared_ptr<const sealcraft::PublicKey>>& keys) {
  return std::make_shared<device::LocalDevice>(utils::Bytes(std::string_view(id)), keys.second,
                                               keys.first);
}

void restore_temp_dir() {
  static const std::optional<std::string> original = [] {
    const char* set = std::getenv("TMPDIR");
    return set ? std::optional<std::string>(set) : std::nullopt;
  }();
  if (original)
    ::setenv("TMPDIR", original->c_str(), 1);
  else
    ::unsetenv("TMPDIR");
}

}  // namespace

std::vector<ReceivedPackage> waiting_packages(Network& client) {
  std::vector<ReceivedPackage> packages;
  for (;;) {
    try {
      packages.push_back(client.recv_pkg());
      std::filesystem::remove(packages.back().file);  // the caller's, as a node removes it
    } catch (const ValidityError&) {
      return packages;  // nothing left
    }
  }
}

OriginalTempDir::OriginalTempDir() { restore_temp_dir(); }
OriginalTempDir::~OriginalTempDir() { restore_temp_dir(); }

const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                std::shared_ptr<const sealcraft::PublicKey>>&
node_keys() {
  static const auto pair = sealcraft::make_keys();
  return pair;
}

const std::pair<std::shared_ptr<const sealcraft::PrivateKey>,
                std::shared_ptr<const sealcraft::PublicKey>>&
peer_keys() {
  static const auto pair = sealcraft::make_keys();
  return pair;
}

BackendFixture::BackendFixture()
    : temp_dir_(folder_.path() / "tmp"),
      tls_(trusted_certificate(folder_, temp_dir_)),
      idp_(std::make_unique<testing::FakeIdentityProvider>(tls_)),
      backend_(tls_),
      device_(make_device(kDeviceId, node_keys())),
      peer_device_(make_device(kPeerId, peer_keys())) {
  idp_->set_refresh_token(kRefreshToken, kFirstToken);
  idp_->set_user(kFirstToken, kUser);
  backend_.set_device_key(kDeviceId, node_keys().second);
  backend_.set_device_key(kPeerId, peer_keys().second);
}

std::unique_ptr<Network> BackendFixture::make_network() { return make_network(backend_.url()); }

std::unique_ptr<Network> BackendFixture::make_network(std::optional<std::string> server_url) {
  return std::make_unique<Network>(std::move(server_url), kRefreshToken, device_, idp_->url());
}

std::unique_ptr<Network> BackendFixture::make_peer_network() {
  return std::make_unique<Network>(backend_.url(), kRefreshToken, peer_device_, idp_->url());
}

std::vector<testing::RecordedRequest> BackendFixture::requests_to(const std::string& path) const {
  std::vector<testing::RecordedRequest> found;
  for (auto& request : backend_.server().requests())
    if (request.path == path) found.push_back(std::move(request));
  return found;
}

std::vector<std::string> BackendFixture::temp_names() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(temp_dir_)) {
    std::string name = entry.path().filename().string();
    if (!name.starts_with("velmora-fake-storage-")) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace velmora::networking
