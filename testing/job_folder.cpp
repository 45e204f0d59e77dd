#include "testing/job_folder.hpp"

#include <fstream>
#include <string>

#include "testing/file_tree.hpp"
#include "testing/tar_writer.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::testing {
namespace {

void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out.flush()) throw utils::RuntimeError("cannot write " + path.string());
}

}  // namespace

ScopedFolder make_job_folder(std::string_view dockerfile) {
  ScopedFolder folder("velmora-job-");
  std::filesystem::copy_file("/bin/busybox", folder.path() / "busybox");
  write_file(folder.path() / "Dockerfile", dockerfile);
  return folder;
}

std::filesystem::path write_busybox_tar_job(const std::filesystem::path& folder,
                                            std::string_view labels, std::string_view steps) {
  std::filesystem::create_directories(folder);
  write_file(folder / "busybox.tar",
             TarWriter().file("bin/busybox", file_content("/bin/busybox"), 0755).bytes());
  write_file(folder / "Dockerfile", "FROM scratch\nLABEL " + std::string(labels) +
                                        "\nADD busybox.tar /\n" + std::string(steps));
  return folder;
}

}  // namespace velmora::testing
