#include "velmora/daemon/main.hpp"

#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <variant>

#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/module_log.hpp"
#include "velmora/daemon/route_handlers.hpp"
#include "velmora/daemon/server/dispatcher.hpp"
#include "velmora/daemon/server/https_server.hpp"
#include "velmora/daemon/shutdown/bounded_exit.hpp"
#include "velmora/daemon/shutdown/deadline_thread.hpp"
#include "velmora/daemon/shutdown/stop_signals.hpp"
#include "velmora/daemon/startup/command_line.hpp"
#include "velmora/daemon/startup/folder_lock.hpp"
#include "velmora/daemon/startup/identity_provider.hpp"
#include "velmora/daemon/startup/key_set.hpp"
#include "velmora/daemon/startup/serving_url.hpp"
#include "velmora/daemon/startup/tls_files.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::daemon {
namespace {

// Up to kMaxConnections local API connections hold a descriptor each, beside the node's own files
// and transfers: take what the system allows.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The exit status of a serving that has ended: 0 after a stop (no failure), else 1, the failure
// reported on standard error.
int serving_status(const std::exception_ptr& failure) {
  if (!failure) return 0;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    std::cerr << "velmorad: " << error.what() << '\n';
  }
  return 1;
}

// Why the log file cannot be opened for appending, as the node will open it at login; empty when
// it can, or when the node logs to standard error.
std::string log_file_failure(const std::optional<std::string>& log_file) {
  if (!log_file || log_file->empty()) return {};
  std::FILE* const file = std::fopen(log_file->c_str(), "a");
  if (!file) return std::strerror(errno);
  std::fclose(file);
  return {};
}

int serve(const ServeOptions& options, const IdentityProvider& identity_provider) {
  // Taken before anything is written: a second start in this folder ends here.
  // Let go last, once the node is gone; a cut-off exit leaves the lock file for the next start.
  const FolderLock folder_lock = FolderLock::take(std::filesystem::current_path());
  if (const std::string failure = log_file_failure(options.settings.log_file); !failure.empty()) {
    std::cerr << "velmorad: cannot open the log file " << *options.settings.log_file
              << " for appending: " << failure << '\n';
    return 1;
  }
  Kid2Jwk kid2jwk;
  try {
    kid2jwk = fetch_key_set(identity_provider);
  } catch (const std::exception& error) {
    std::cerr << "velmorad: cannot load the identity provider's key set from "
              << domain_origin(identity_provider) << ": " << error.what() << '\n';
    return 1;
  }
  ApiState state(options.settings, identity_provider, std::move(kid2jwk));

  // From here a stop signal ends serving in order, so that the TLS files are removed.
  block_stop_signals();
  const Dispatcher dispatcher(route_handlers(&state));
  HttpsServer server(&dispatcher);
  server.bind(options.host, static_cast<int>(options.port));
  std::optional<TlsFiles> tls_files(make_ssl_context());
  server.present(tls_files->cert_file(), tls_files->key_file());
  StopRequest stop;
  const StopSignalWatcher watcher([&stop] { stop.request(); });
  std::cerr << "velmorad: serving the local API on " << serving_url(options.host, server.port())
            << " (Ctrl+C stops it)" << std::endl;
  std::exception_ptr serving_failure;  // written by the serving thread before it ends
  DeadlineThread serving([&server, &serving_failure, &stop] {
    try {
      server.serve();
    } catch (...) {
      serving_failure = std::current_exception();
    }
    stop.request();
  });
  stop.wait();

  // Whatever still runs at the deadline is cut off: a request under way, a pass of a poll, a
  // package handler. Until then the server ends its connections and the node its threads.
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  server.stop();
  const bool served_out = serving.ended_by(deadline);
  if (!served_out) LOG.warning("Requests still under way at exit are cut off");
  const std::shared_ptr<model::Velmora> node = state.gobj();
  const bool node_done = !node || wind_down(*node, deadline);
  tls_files.reset();
  const int status = served_out ? serving_status(serving_failure) : 0;
  if (!served_out || !node_done) end_process_now(status);
  return status;
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
