#include "testing/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
                           const std::map<std::string, std::string>& extra_environment,
                           bool converse)
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
  int to_child[2] = {-1, -1};
  int from_child[2] = {-1, -1};
  if (converse) {
    // A child that has ended makes write_line fail with EPIPE rather than end this process.
    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0)
      throw utils::OSError(errno, "pipe");
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_file_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
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
  if (converse) {
    ::close(to_child[0]);
    ::close(from_child[1]);
    input_ = to_child[1];
    output_ = from_child[0];
  }
  if (error != 0) {
    close_conversation();
    throw utils::OSError(error, program);
  }
}

void ChildProcess::close_conversation() noexcept {
  for (int* end : {&input_, &output_}) {
    if (*end >= 0) ::close(*end);
    *end = -1;
  }
}

ChildProcess::~ChildProcess() {
  close_conversation();
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

void ChildProcess::write_line(const std::string& line) {
  const std::string text = line + "\n";
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(input_, text.data() + written, text.size() - written);
    if (n < 0 && errno != EINTR) throw utils::OSError(errno, "the child's standard input");
    if (n > 0) written += static_cast<std::size_t>(n);
  }
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    if (const auto end = unread_.find('\n'); end != std::string::npos) {
      std::string line = unread_.substr(0, end);
      unread_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd ready{output_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n == 0) return std::nullopt;
    if (n > 0) unread_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string ChildProcess::standard_output() const { return read_file(stdout_file_); }
std::string ChildProcess::standard_error() const { return read_file(stderr_file_); }

std::vector<std::string> ChildProcess::standard_error_lines() const {
  std::vector<std::string> lines;
  std::istringstream text(standard_error());
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

bool ChildProcess::wrote_error_line(const std::string& line) const {
  const std::vector<std::string> lines = standard_error_lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::unique_ptr<ChildProcess> start_with_temp_dir(const std::filesystem::path& program,
                                                  const std::vector<std::string>& args,
                                                  const std::filesystem::path& folder,
                                                  const std::filesystem::path& temp_dir,
                                                  std::map<std::string, std::string> environment,
                                                  bool converse) {
  std::filesystem::create_directories(folder);
  std::filesystem::create_directories(temp_dir);
  environment["TMPDIR"] = temp_dir.string();
  return std::make_unique<ChildProcess>(program, args, folder, environment, converse);
}

}  // namespace velmora::testing
