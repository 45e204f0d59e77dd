// The fake backend and identity provider in a process of their own, for trying nodes by hand and
// for tests of several node processes:
//   fake_backend [refresh-token [access-token [user]]]
//   fake_backend [--user <name> <refresh-token>]... [--record <folder>]
// The first form knows one user; the second knows each user named (access token
// "access-<name>"), and keeps the backend's record in the folder (FakeBackend::record_to;
// testing/backend_record.hpp reads it). A front end logs a user in with the identity provider's
// password grant (FakeIdentityProvider::set_login), which answers an access token for the
// audience VELMORA_API_AUDIENCE and the user's refresh token. Either form prints where they
// serve, the audience and the certificate to trust (VELMORA_CA_FILE), then serves until it is
// interrupted or terminated.
#include <signal.h>

#include <iostream>
#include <string>
#include <vector>

#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "testing/tls_certificate.hpp"

namespace {

struct User {
  std::string name;
  std::string refresh_token;
  std::string access_token;
};

struct CommandLine {
  std::vector<User> users;
  std::string record_folder;  // none when empty
};

// The command line in either form; exits with status 2 for a malformed one.
CommandLine read_command_line(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || !args[0].starts_with("--")) {
    return {{{args.size() > 2 ? args[2] : "ada", args.size() > 0 ? args[0] : "refresh",
              args.size() > 1 ? args[1] : "access"}},
            ""};
  }
  CommandLine line;
  for (std::size_t i = 0; i < args.size();) {
    if (args[i] == "--user" && i + 2 < args.size()) {
      line.users.push_back({args[i + 1], args[i + 2], "access-" + args[i + 1]});
      i += 3;
    } else if (args[i] == "--record" && i + 1 < args.size()) {
      line.record_folder = args[i + 1];
      i += 2;
    } else {
      std::cerr << "fake_backend: malformed option " << args[i] << "\n";
      std::exit(2);
    }
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora::testing;
  const CommandLine command_line = read_command_line(argc, argv);

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
  if (!command_line.record_folder.empty()) backend.record_to(command_line.record_folder);
  for (const User& user : command_line.users) {
    identity_provider.set_refresh_token(user.refresh_token, user.access_token);
    identity_provider.set_user(user.access_token, user.name);
    identity_provider.set_login(user.name, user.refresh_token);
    backend.set_refresh_token(user.refresh_token, user.access_token);
  }
  // The audience a node checks by default is also its default backend: this one.
  identity_provider.set_audience(backend.url());

  std::cout << "backend " << backend.url() << "\n"
            << "VELMORA_IDP_DOMAIN=" << identity_provider.domain() << "\n"
            << "VELMORA_API_AUDIENCE=" << backend.url() << "\n"
            << "VELMORA_CA_FILE=" << tls.cert.string() << "\n";
  for (const User& user : command_line.users)
    std::cout << "refresh token " << user.refresh_token << " (user " << user.name << ")\n";
  std::cout << std::flush;
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  return 0;
}
