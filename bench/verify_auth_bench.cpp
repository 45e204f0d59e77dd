// Access-token checks per second on one core: verify_auth of a valid RS256 token, and one RS256
// verify of the same token alone (the floor). Compare with `openssl speed -seconds 3 rsa2048`
// (bench/beside_openssl_rsa2048 runs both).
#include <benchmark/benchmark.h>

#include "testing/token_minter.hpp"
#include "velmora/daemon/auth/verify_auth.hpp"
#include "velmora/utils/text/base64url.hpp"

namespace {

using namespace velmora;

const daemon::IdentityProvider kProvider{"login.velmora.net", "https://api.velmora.net"};

// A request of the front end: its bearer token in "Authorization".
class BearerRequest final : public daemon::ApiRequest {
 public:
  explicit BearerRequest(std::string token) : authorization_("Bearer " + std::move(token)) {}
  std::string_view method() const noexcept override { return "GET"; }
  std::string_view path() const noexcept override { return "/getMyUUID"; }
  std::string_view body() const noexcept override { return {}; }
  std::string_view header(std::string_view name) const override {
    return name == "Authorization" ? std::string_view(authorization_) : std::string_view();
  }

 private:
  std::string authorization_;
};

struct Setting {
  testing::TokenMinter minter;
  daemon::Kid2Jwk kid2jwk = daemon::kid2jwk_of({{"keys", {minter.jwk()}}});
  std::string token = minter.rs256(testing::TokenMinter::claims(kProvider.domain,
                                                                  kProvider.audience));
};

const Setting& setting() {
  static const Setting made;
  return made;
}

void BM_VerifyAuth(benchmark::State& state) {
  const BearerRequest request(setting().token);
  for (auto _ : state) daemon::verify_auth(request, kProvider, setting().kid2jwk);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyAuth)->Unit(benchmark::kMicrosecond);

void BM_Rs256VerifyAlone(benchmark::State& state) {
  const std::string& token = setting().token;
  const std::string_view signing_input(token.data(), token.rfind('.'));
  const std::string signature = *utils::base64url_decode(token.substr(token.rfind('.') + 1));
  const daemon::Rs256Key& key = *setting().kid2jwk.begin()->second.rs256;
  for (auto _ : state) benchmark::DoNotOptimize(key.verify(signing_input, signature));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Rs256VerifyAlone)->Unit(benchmark::kMicrosecond);

}  // namespace
