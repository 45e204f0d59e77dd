#pragma once
// Job folders whose images build without a registry: FROM scratch, with Debian's static busybox
// (package busybox-static) as the only program.

#include <filesystem>
#include <string_view>

#include "testing/scoped_folder.hpp"

namespace velmora::testing {

// The start of a Dockerfile that puts busybox at /bin/busybox of an empty image.
inline constexpr std::string_view kBusyboxBase = "FROM scratch\nCOPY busybox /bin/busybox\n";

// A folder holding this Dockerfile and the file "busybox" beside it.
ScopedFolder make_job_folder(std::string_view dockerfile);

// The Dockerfile step that links busybox's programs (sh, sleep, ...) into /bin.
inline constexpr std::string_view kInstallBusyboxPrograms =
    "RUN [\"/bin/busybox\",\"--install\",\"-s\",\"/bin\"]\n";

// Writes a job folder that a node can send to another: "busybox.tar", holding an executable
// bin/busybox, and a Dockerfile of "FROM scratch", "LABEL <labels>", "ADD busybox.tar /" and
// steps. A folder that travels in a package loses its files' modes, and a landing's build pulls
// its base image first; ADD unpacks the tar with its modes. labels ("key=value ...") keep the
// image apart from other builds. Makes folder when missing; answers it.
std::filesystem::path write_busybox_tar_job(const std::filesystem::path& folder,
                                            std::string_view labels, std::string_view steps);

}  // namespace velmora::testing
