#include "testing/velmorad_process.hpp"

#include <signal.h>

#include <chrono>

#include "testing/eventually.hpp"
#include "testing/https_client.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;

// The line velmorad writes once it listens, before the port.
constexpr std::string_view kServing = "velmorad: serving the local API on https://localhost:";

// The port of the serving line in log; 0 while there is none.
int serving_port(const std::string& log) {
  const std::size_t at = log.find(kServing);
  if (at == std::string::npos) return 0;
  const std::size_t digits = at + kServing.size();
  const std::size_t end = log.find('/', digits);
  if (end == std::string::npos) return 0;  // the line is still being written
  return std::stoi(log.substr(digits, end - digits));
}

}  // namespace

VelmoradProcess::VelmoradProcess(const std::filesystem::path& program,
                                 const std::vector<std::string>& args,
                                 const std::filesystem::path& folder,
                                 const std::filesystem::path& temp_dir,
                                 const std::map<std::string, std::string>& extra_environment)
    : folder_(folder) {
  std::vector<std::string> all_args{"--port", "0"};
  all_args.insert(all_args.end(), args.begin(), args.end());
  process_ = start_with_temp_dir(program, all_args, folder, temp_dir, extra_environment);
  const bool serving = eventually(
      [&] { return (port_ = serving_port(log())) != 0 || !process_->running(); });
  if (!serving || port_ == 0)
    throw utils::RuntimeError("velmorad in " + folder.string() + " did not start: " + log());
}

VelmoradProcess::~VelmoradProcess() {
  if (!process_->running()) return;
  process_->send_signal(SIGINT);
  process_->wait_for_exit();
}

std::unique_ptr<httplib::SSLClient> VelmoradProcess::client() const {
  return https_client("localhost", port_, certificate());
}

}  // namespace velmora::testing
