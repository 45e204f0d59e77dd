#pragma once
// The name a launch gets from its job folder.

#include <string>
#include <string_view>

namespace velmora::model {

// The folder's last component without its last suffix: "/data/sim.new" gives "sim", "a.tar.gz"
// "a.tar", "/data/sim/" "sim". A dot that starts or ends the component starts no suffix:
// ".hidden" stays ".hidden", "sim." stays "sim.". Empty and "." components are passed over, so
// "sim/." gives "sim" and "" or "/" gives "".
std::string job_name_of(std::string_view folder);

}  // namespace velmora::model
