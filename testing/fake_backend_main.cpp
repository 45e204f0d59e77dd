// The fake backend and identity provider in a process of their own, for trying nodes by hand:
//   fake_backend [refresh-token [access-token [user]]]
// prints where they serve and the certificate to trust (VELMORA_CA_FILE), then serves until it is
// interrupted or terminated.
#include <signal.h>

#include <iostream>
#include <string>

#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"

int main(int argc, char** argv) {
  using namespace velmora::testing;
  const std::string refresh_token = argc > 1 ? argv[1] : "refresh";
  const std::string access_token = argc > 2 ? argv[2] : "access";
  const std::string user = argc > 3 ? argv[3] : "ada";

  // The servers' threads inherit the blocked signals; only sigwait takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const ScopedFolder folder("velmora-fake-backend-");
  const TlsFiles tls = make_self_signed_certificate(folder.path(), "fakes", TlsKey::ec_p256);
  FakeIdentityProvider identity_provider(tls);
  FakeBackend backend(tls);
  identity_provider.set_refresh_token(refresh_token, access_token);
  identity_provider.set_user(access_token, user);
  backend.set_refresh_token(refresh_token, access_token);

  std::cout << "backend " << backend.url() << "\n"
            << "VELMORA_IDP_DOMAIN=" << identity_provider.domain() << "\n"
            << "VELMORA_CA_FILE=" << tls.cert.string() << "\n"
            << "refresh token " << refresh_token << " (user " << user << ")" << std::endl;
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  return 0;
}
