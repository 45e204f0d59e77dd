#include "velmora/daemon/main.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <iostream>
#include <thread>
#include <variant>

#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/route_handlers.hpp"
#include "velmora/daemon/server/dispatcher.hpp"
#include "velmora/daemon/server/https_server.hpp"
#include "velmora/daemon/startup/command_line.hpp"
#include "velmora/daemon/startup/identity_provider.hpp"
#include "velmora/daemon/startup/key_set.hpp"
#include "velmora/daemon/startup/tls_files.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

sigset_t stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Runs on_stop on a thread of its own when SIGINT or SIGTERM arrives. The signals must be blocked
// in every thread before the object is made, so that no system call is interrupted by them.
class StopSignalWatcher {
 public:
  explicit StopSignalWatcher(std::function<void()> on_stop)
      : thread_([this, on_stop = std::move(on_stop)] {
          const sigset_t signals = stop_signals();
          int signal = 0;
          while (sigwait(&signals, &signal) == 0 && !quitting_.load()) on_stop();
        }) {}
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;
  ~StopSignalWatcher() {
    quitting_.store(true);
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

 private:
  std::atomic<bool> quitting_ = false;
  std::thread thread_;
};

// One thread per connection needs a descriptor each: take what the system allows.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int serve(const ServeOptions& options, const IdentityProvider& identity_provider) {
  Kid2Jwk kid2jwk;
  try {
    kid2jwk = fetch_key_set(identity_provider);
  } catch (const std::exception& error) {
    std::cerr << "velmorad: cannot load the identity provider's key set from "
              << identity_provider.domain << ": " << error.what() << '\n';
    return 1;
  }
  const ApiState state(options.settings, identity_provider, std::move(kid2jwk));

  // From here a stop signal ends serving in order, so that the TLS files are removed.
  const sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const TlsFiles tls_files = make_ssl_context();
  const Dispatcher dispatcher(route_handlers(&state));
  HttpsServer server(&dispatcher, tls_files.cert_file(), tls_files.key_file());
  if (options.port < 0 || options.port > 65535)
    throw utils::ValueError("cannot listen on port " + std::to_string(options.port) +
                            ": a port lies between 0 and 65535");
  server.bind(options.host, static_cast<int>(options.port));
  const StopSignalWatcher watcher([&server] { server.stop(); });
  std::cerr << "velmorad: serving the local API on https://" << options.host << ":" << server.port()
            << "/ (Ctrl+C stops it)" << std::endl;
  server.serve();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a peer that goes away is an error of that write, not the end
  const IdentityProvider identity_provider = identity_provider_from_environment();
  const auto command_line = parse_command_line(argc, argv, identity_provider.audience);
  if (const auto* exit = std::get_if<CommandLineExit>(&command_line)) {
    (exit->status == 0 ? std::cout : std::cerr) << exit->text << std::flush;
    return exit->status;
  }
  raise_open_file_limit();
  try {
    return serve(std::get<ServeOptions>(command_line), identity_provider);
  } catch (const std::exception& error) {
    std::cerr << "velmorad: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace velmora::daemon
