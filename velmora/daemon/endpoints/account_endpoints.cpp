#include "velmora/daemon/endpoints/account_endpoints.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/daemon/endpoints/kept_answer.hpp"
#include "velmora/daemon/endpoints/node_call.hpp"
#include "velmora/daemon/server/request_json.hpp"
#include "velmora/daemon/validate_data.hpp"
#include "velmora/job/job.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/networking/package/package_label.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::daemon {
namespace {

using model::Velmora;
using utils::string_to_result_json;

// The log file at path, opened once and checked on that descriptor before anything is asked of
// the backend, which is then sent what the descriptor reads: a path swapped after the check sends
// nothing else. It must be a regular file (a link to one included): a FIFO would hold the upload
// until something wrote to it (it opens at once, not waiting for a writer, and is refused), and a
// device such as /dev/zero has no length to send. Nor is it one of the node's key files, by
// inode, whatever name reaches it. OSError for a path that names nothing.
utils::FileDescriptor open_log_file(const std::string& path, const model::NodeSettings& settings) {
  utils::FileDescriptor file;
  file.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) throw utils::OSError(errno, path);
  if (!S_ISREG(info.st_mode))
    throw utils::ValueError("log file '" + path + "' is not a regular file");
  for (const std::string* key_file : {&settings.priv_key_file, &settings.pub_key_file}) {
    struct stat key {};
    if (::stat(key_file->c_str(), &key) == 0 && key.st_dev == info.st_dev &&
        key.st_ino == info.st_ino)
      throw utils::ValueError("log file '" + path + "' is the node's key file '" + *key_file +
                              "': key files are never sent");
  }
  return file;
}

// Hands the file at the body's "log_path" to the backend's transfer service as a log, named
// "<user>-<device id>-<seconds since the epoch>.log". The file is streamed as it is sent.
std::string upload_log(Velmora& gobj, const ApiRequest& request) {
  const utils::Value body = validate_data(request_json(request), {{"log_path", Conversion::text}});
  const std::string& log_path = body["log_path"].get_ref<const std::string&>();
  networking::Network& network = *gobj.network();
  const std::string name =
      network.username() + "-" + utils::b2s(network.local_device()->uuid()) + "-" +
      networking::package::sent_time_text(job::system_clock_seconds()) + ".log";
  const utils::FileDescriptor file = open_log_file(log_path, gobj.settings());
  network._send_file(utils::Bytes(), utils::OpenFile{file.get(), log_path}, name, "1");
  return success_answer();
}

// Registers the node's device with the backend, unless the client is registered already. The
// answer follows the client's flag afterwards, which an unregistration at the same time clears.
std::string register_(Velmora& gobj, const ApiRequest&) {
  networking::Network& network = *gobj.network();
  if (network.is_registered()) return string_to_result_json(true, 0, "Redundant registration");
  network.register_(*gobj.device());
  if (network.is_registered()) return success_answer();
  return string_to_result_json(false, -1, "Login failure");
}

std::string unregister(Velmora& gobj, const ApiRequest&) {
  gobj.network()->unregister();
  return success_answer();
}

// The profiles of the devices in the client's table, in the order of the backend's last list.
// The answer is made once for each table and shared by the route's requests: the client replaces
// its table whole when the backend's list changes, and the answer over 10,000 devices is megabytes
// that take tens of milliseconds to write.
Endpoint getDeviceList() {
  using Table = std::shared_ptr<const networking::DeviceTable>;
  return [kept = std::make_shared<KeptAnswer<Table>>()](Velmora& gobj,
                                                        const ApiRequest&) -> EndpointText {
    return kept->of(gobj.network()->devices(), [](const Table& table) {
      std::vector<std::string> profiles;
      profiles.reserve(table->size());
      for (const auto& [id, device] : *table) profiles.push_back(utils::answer_json(device.info()));
      return utils::string_to_result_json_list(
          true, 0, "success", "users_profiles",
          std::vector<std::string_view>(profiles.begin(), profiles.end()));
    });
  };
}

// The identity endpoints answer from the device the client holds, which a wipe of the user data
// does not replace.
std::string getMyUUID(Velmora& gobj, const ApiRequest&) {
  return string_to_result_json(true, 0, "success", "myuuid",
                               utils::b2s(gobj.network()->local_device()->uuid()));
}

std::string getMyName(Velmora& gobj, const ApiRequest&) {
  return string_to_result_json(true, 0, "success", "myname",
                               gobj.network()->local_device()->hostname());
}

std::string getCurrentUser(Velmora& gobj, const ApiRequest&) {
  return string_to_result_json(true, 0, "success", "profile",
                               gobj.network()->local_device()->info());
}

}  // namespace

EndpointTable account_endpoints() {
  return {
      {"upload_log", upload_log},
      {"register", register_},
      {"getDeviceList", getDeviceList()},
      {"getMyUUID", getMyUUID},
      {"getMyName", getMyName},
      {"getCurrentUser", getCurrentUser},
      {"unregister", unregister},
  };
}

}  // namespace velmora::daemon
