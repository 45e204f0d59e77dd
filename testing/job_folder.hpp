#pragma once
// Job folders whose images build without a registry: FROM scratch, with Debian's static busybox
// (package busybox-static) as the only program.

#include <string_view>

#include "testing/scoped_folder.hpp"

namespace velmora::testing {

// The start of a Dockerfile that puts busybox at /bin/busybox of an empty image.
inline constexpr std::string_view kBusyboxBase = "FROM scratch\nCOPY busybox /bin/busybox\n";

// A folder holding this Dockerfile and the file "busybox" beside it.
ScopedFolder make_job_folder(std::string_view dockerfile);

}  // namespace velmora::testing
