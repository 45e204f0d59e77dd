#pragma once
// The command velmorad: reads the command line, holds its working folder (startup/folder_lock.hpp),
// fetches the identity provider's key set, binds its port, writes the TLS files and serves the
// local API until SIGINT or SIGTERM; then it ends within kStopGrace, cutting off what still runs
// by then (shutdown/bounded_exit.hpp), and removes the files it wrote.

namespace velmora::daemon {

// Exit status: 0 after --help or a stop by signal, 1 when the start or serving fails, 2 for a bad
// command line. Call once, from the process's main thread, before any other thread exists.
int main(int argc, char** argv);

}  // namespace velmora::daemon
