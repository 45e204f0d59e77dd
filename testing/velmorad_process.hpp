#pragma once
// velmorad as a user runs it: a process in a working folder of its own, with a temporary folder
// of its own beside it, serving its local API on 127.0.0.1 at a port of its own, and clients of
// that API that trust the certificate it wrote. One thread uses it.

#include <httplib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testing/child_process.hpp"

namespace velmora::testing {

class VelmoradProcess {
 public:
  // Starts program with "--port 0" (a free port) and args in folder, with TMPDIR temp_dir (both
  // made when missing) and extra_environment beside this process's environment, and waits until
  // it says where it serves. RuntimeError, with what it logged, when it ends first or says
  // nothing within a minute.
  VelmoradProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::filesystem::path& folder, const std::filesystem::path& temp_dir,
                  const std::map<std::string, std::string>& extra_environment);
  VelmoradProcess(const VelmoradProcess&) = delete;
  VelmoradProcess& operator=(const VelmoradProcess&) = delete;
  ~VelmoradProcess();  // interrupts it, as Ctrl+C does, and waits for it; kills it when it stays

  int port() const noexcept { return port_; }
  const std::filesystem::path& folder() const noexcept { return folder_; }
  // The certificate it wrote for its API.
  std::filesystem::path certificate() const { return folder_ / "velmorad.crt"; }
  // A new client of its API at "localhost", verifying that certificate.
  std::unique_ptr<httplib::SSLClient> client() const;

  // What it logged so far: its standard error, where its node logs too.
  std::string log() const { return process_->standard_error(); }
  bool logged(const std::string& line) const { return process_->wrote_error_line(line); }

  // The process, for signals and its exit.
  ChildProcess& process() noexcept { return *process_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace velmora::testing
