#pragma once
// A program run as a child process for a test: its own working directory, extra environment
// variables, standard output and error captured in files. The object waits for, and if need be
// kills, the child when it goes. One thread uses it.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

class ChildProcess {
 public:
  // Starts program with args in folder, the environment of this process plus extra_environment.
  // Output goes to folder/../<folder name>.stdout and .stderr, beside the folder, so the folder
  // holds only what the program writes.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& folder,
               const std::map<std::string, std::string>& extra_environment = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  void send_signal(int signal) const;
  // The exit status, or null when the child has not ended within the time; -N for signal N.
  std::optional<int> wait_for_exit(std::chrono::milliseconds within = std::chrono::seconds(60));
  bool running();

  std::string standard_output() const;
  std::string standard_error() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::filesystem::path stdout_file_;
  std::filesystem::path stderr_file_;
};

}  // namespace velmora::testing
