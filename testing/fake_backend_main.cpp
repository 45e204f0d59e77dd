// The fake backend and identity provider in a process of their own, for trying nodes by hand and
// for tests of several node processes:
//   fake_backend [refresh-token [access-token [user]]]
//   fake_backend [--user <name> <refresh-token>]... [--record <folder>] [--env]
// The first form knows one user; the second knows each user named (access token
// "access-<name>"), and keeps the backend's record in the folder (FakeBackend::record_to;
// testing/backend_record.hpp reads it). A front end logs a user in with the identity provider's
// password grant (FakeIdentityProvider::set_login), which answers an access token for the
// audience VELMORA_API_AUDIENCE and the user's refresh token. Either form prints where they
// serve, the audience and the certificate to trust (VELMORA_CA_FILE), then serves until it is
// interrupted or terminated. With --env it prints only a shell line that exports those three
// variables and sets FAKES_PID, and serves on in the background (a session of its own), so
// that eval "$(fake_backend --env)" sets a shell up and kill $FAKES_PID ends the fakes.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <algorithm>
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
  bool env = false;
};

// The command line in either form; exits with status 2 for a malformed one.
CommandLine read_command_line(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto env = std::find(args.begin(), args.end(), "--env");
  CommandLine line;
  line.env = env != args.end();
  if (line.env) args.erase(env);
  if (args.empty() || !args[0].starts_with("--")) {
    line.users = {{args.size() > 2 ? args[2] : "ada", args.size() > 0 ? args[0] : "refresh",
                   args.size() > 1 ? args[1] : "access"}};
    return line;
  }
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

// With --env: the process goes on as a child in a session of its own, whose standard output is
// a pipe that this parent copies to its own until the child closes it; the parent then ends.
// Before any thread exists.
void serve_in_background() {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) std::exit(1);
  const pid_t child = ::fork();
  if (child < 0) std::exit(1);
  if (child == 0) {
    ::setsid();
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    return;
  }
  ::close(pipe_ends[1]);
  char buffer[4096];
  bool printed = false;
  for (ssize_t size; (size = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0; printed = true)
    std::fwrite(buffer, 1, static_cast<std::size_t>(size), stdout);
  std::exit(printed ? 0 : 1);
}

// The shell line of --env: single-quoted values, so that eval takes them as they are.
std::string export_line(const std::vector<std::pair<std::string, std::string>>& variables) {
  std::string line = "export";
  for (const auto& [name, value] : variables) {
    std::string quoted;
    for (char c : value) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += " " + name + "='" + quoted + "'";
  }
  return line + "; FAKES_PID=" + std::to_string(::getpid()) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora::testing;
  const CommandLine command_line = read_command_line(argc, argv);
  if (command_line.env) serve_in_background();

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

  if (command_line.env) {
    std::cout << export_line({{"VELMORA_IDP_DOMAIN", identity_provider.domain()},
                              {"VELMORA_API_AUDIENCE", backend.url()},
                              {"VELMORA_CA_FILE", tls.cert.string()}})
              << std::flush;
    // The caller's command substitution ends when the pipe is closed.
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(nowhere, STDOUT_FILENO);
    ::close(nowhere);
  } else {
    std::cout << "backend " << backend.url() << "\n"
              << "VELMORA_IDP_DOMAIN=" << identity_provider.domain() << "\n"
              << "VELMORA_API_AUDIENCE=" << backend.url() << "\n"
              << "VELMORA_CA_FILE=" << tls.cert.string() << "\n";
    for (const User& user : command_line.users)
      std::cout << "refresh token " << user.refresh_token << " (user " << user.name << ")\n";
    std::cout << std::flush;
  }
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  return 0;
}
