#pragma once
// A program run as a child process for a test: its own working directory, extra environment
// variables, standard output and error captured in files, or standard input and output as a
// conversation of lines with the test. The object waits for, and if need be kills, the child when
// it goes. One thread uses it.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/eventually.hpp"

namespace velmora::testing {

class ChildProcess {
 public:
  // Starts program with args in folder, the environment of this process plus extra_environment.
  // Output goes to folder/../<folder name>.stdout and .stderr, beside the folder, so the folder
  // holds only what the program writes.
  // With converse, standard input and output are pipes to this object (write_line, read_line)
  // instead of /dev/null and the file.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& folder,
               const std::map<std::string, std::string>& extra_environment = {},
               bool converse = false);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  void send_signal(int signal) const;
  // The exit status, or null when the child has not ended within the time; -N for signal N.
  std::optional<int> wait_for_exit(std::chrono::milliseconds within = kUnderLoad);
  bool running();

  std::string standard_output() const;
  std::string standard_error() const;
  // Its standard error so far, a line each, and whether one of them is line.
  std::vector<std::string> standard_error_lines() const;
  bool wrote_error_line(const std::string& line) const;

  // The conversation: a line (a line break is added) to the child's standard input, and the next
  // line of its standard output without its line break, or null when none came within the time
  // or the output ended. OSError when the child no longer reads.
  void write_line(const std::string& line);
  std::optional<std::string> read_line(std::chrono::milliseconds within);

 private:
  void close_conversation() noexcept;

  pid_t pid_ = -1;
  int input_ = -1;   // the write end of the child's standard input, when conversing
  int output_ = -1;  // the read end of its standard output, when conversing
  std::string unread_;  // output read beyond the last line handed out
  std::optional<int> status_;
  std::filesystem::path stdout_file_;
  std::filesystem::path stderr_file_;
};

// Starts program as a node process runs: in folder, with TMPDIR temp_dir (both made when missing)
// and environment beside this process's.
std::unique_ptr<ChildProcess> start_with_temp_dir(const std::filesystem::path& program,
                                                  const std::vector<std::string>& args,
                                                  const std::filesystem::path& folder,
                                                  const std::filesystem::path& temp_dir,
                                                  std::map<std::string, std::string> environment,
                                                  bool converse = false);

}  // namespace velmora::testing
