#include "testing/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "velmora/utils/error.hpp"

extern char** environ;

namespace velmora::testing {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args,
                           const std::filesystem::path& folder,
                           const std::map<std::string, std::string>& extra_environment)
    : stdout_file_(folder.string() + ".stdout"), stderr_file_(folder.string() + ".stderr") {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text(*entry);
    if (!extra_environment.contains(text.substr(0, text.find('=')))) environment.push_back(text);
  }
  for (const auto& [name, value] : extra_environment) environment.push_back(name + "=" + value);
  std::vector<std::string> arguments{program.string()};
  arguments.insert(arguments.end(), args.begin(), args.end());
  const auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
  };
  std::vector<char*> argv = pointers(arguments);
  std::vector<char*> envp = pointers(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_file_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_file_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // The child starts with no signal blocked, whatever this thread blocks.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int error = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw utils::OSError(error, program);
}

ChildProcess::~ChildProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait_for_exit();
  }
  std::filesystem::remove(stdout_file_);
  std::filesystem::remove(stderr_file_);
}

void ChildProcess::send_signal(int signal) const { ::kill(pid_, signal); }

bool ChildProcess::running() { return !wait_for_exit(std::chrono::milliseconds(0)); }

std::optional<int> ChildProcess::wait_for_exit(std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!status_) {
    int status = 0;
    const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return status_;
}

std::string ChildProcess::standard_output() const { return read_file(stdout_file_); }
std::string ChildProcess::standard_error() const { return read_file(stderr_file_); }

}  // namespace velmora::testing
