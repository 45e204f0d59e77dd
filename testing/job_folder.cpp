#include "testing/job_folder.hpp"

#include <fstream>

#include "velmora/utils/error.hpp"

namespace velmora::testing {

ScopedFolder make_job_folder(std::string_view dockerfile) {
  ScopedFolder folder("velmora-job-");
  std::filesystem::copy_file("/bin/busybox", folder.path() / "busybox");
  std::ofstream out(folder.path() / "Dockerfile", std::ios::binary);
  out << dockerfile;
  if (!out.flush()) throw utils::RuntimeError("cannot write the Dockerfile of a job folder");
  return folder;
}

}  // namespace velmora::testing
