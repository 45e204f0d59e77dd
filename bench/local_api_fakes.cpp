// The outside parties of the velmorad that bench/local_api_bench measures, in a process of their
// own: an identity provider that logs the user "ada" in (the password grant, refresh token
// "refresh-ada"), and a backend that knows the node's key and answers every device-list request
// with <devices> devices. First it lays down the node's working folder: its identity and
// <launches> launches that ran to completion.
//   local_api_fakes <work folder> <launches> <devices>
// Prints the backend's URL and the settings that point velmorad at the fakes (VELMORA_...=...),
// then "ready", and serves until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "bench/long_lived_node.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"

int main(int argc, char** argv) {
  using namespace velmora;
  if (argc != 4) {
    std::fprintf(stderr, "usage: local_api_fakes <work folder> <launches> <devices>\n");
    return 2;
  }
  const std::filesystem::path work = argv[1];
  const int devices = std::atoi(argv[3]);
  constexpr const char* kNodeId = "5d1c7e2a-0b9f-4e83-a6d4-c3f2e1b0a987";
  const auto node_key = bench::write_node_identity(work, kNodeId);
  bench::write_job_stores(work, kNodeId, std::atoi(argv[2]), 0);

  // The servers' threads inherit the blocked signals; only sigtimedwait takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const testing::ScopedFolder folder("velmora-local-api-fakes-");
  const testing::TlsFiles tls =
      testing::make_self_signed_certificate(folder.path(), "fakes", testing::TlsKey::ec_p256);
  testing::FakeIdentityProvider identity_provider(tls);
  testing::FakeBackend backend(tls);
  identity_provider.set_refresh_token("refresh-ada", "access-ada");
  identity_provider.set_user("access-ada", "ada");
  identity_provider.set_login("ada", "refresh-ada");
  identity_provider.set_audience(backend.url());
  backend.set_device_key(kNodeId, node_key);
  int scripted = 0;
  bench::keep_listing_devices(backend, devices, scripted);

  std::printf("backend %s\nVELMORA_IDP_DOMAIN=%s\nVELMORA_API_AUDIENCE=%s\nVELMORA_CA_FILE=%s\n"
              "ready\n",
              backend.url().c_str(), identity_provider.domain().c_str(), backend.url().c_str(),
              tls.cert.c_str());
  std::fflush(stdout);
  const timespec tick{0, 100'000'000};
  while (sigtimedwait(&stop_signals, nullptr, &tick) < 0)
    bench::keep_listing_devices(backend, devices, scripted);
  return 0;
}
