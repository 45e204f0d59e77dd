#pragma once
// Interface to the backend server: the node's only way to the backend, to the storage URLs it
// hands out and to the identity provider. It keeps the access token fresh and signs every backend
// request with the local device's private key.
//
// One client is shared by every thread of the node: every member may be called from any thread.
// The fields that change after construction (the access token, the refresh operation in force,
// the registration flag, the device table) are read and replaced whole under the client's lock,
// which is never held across a request. Not copyable; no stored form (records that refer to the
// client are bound to the node's client when they are loaded).

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmora/device/device.hpp"
#include "velmora/device/local_device.hpp"
#include "velmora/networking/identity_provider.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/networking/package/package_bounds.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/http/http_client.hpp"
#include "velmora/utils/stores/ordered_dict.hpp"
#include "velmora/utils/temp_files.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::networking {

using utils::Bytes;

// Device id to remote device, in the order of the backend's list.
using DeviceTable = utils::OrderedDict<Bytes, device::Device>;
struct DeviceList;        // the table and what reading it learnt (device_list.hpp)
struct DeviceListMemory;  // what the device list is read into (device_list.hpp)

// A package taken from the backend: its label as "label.json" held it (any JSON value), the
// fresh folder into which its attachment was unpacked, or none when it came without one, and the
// package file itself, kept in the client's inbox folder. The caller owns the folder and the
// file: it removes the file once what the package carries is stored.
struct ReceivedPackage {
  utils::Value label;
  std::optional<std::filesystem::path> attachment;
  std::filesystem::path file;
};

// A package refused whole: it passes a bound of what one package may make the node hold
// (package/package_bounds.hpp), or it cannot be read. It is no longer queued at the backend, and
// nothing of it was kept. Its text says which bound or why it cannot be read; label is its label
// when that could be read, else null.
class RefusedPackage : public utils::RuntimeError {
 public:
  RefusedPackage(const std::string& reason, utils::Value label);
  const utils::Value& label() const noexcept { return label_; }

 private:
  utils::Value label_;
};

// The token-refresh operation in force: the identity provider's refresh-token grant, or, once the
// identity provider has refused a refresh with an error status, the backend's token route.
enum class TokenRefresh { gui, cli };

class Network {
 public:
  // Endpoint name to its path on the backend, resolved against server_url.
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> ENDPOINTS{{
      {"register", "/registry/register"},
      {"unregister", "/registry/unregister"},
      {"set_status", "/lobby/selfstatus"},
      {"list_users", "/list/users"},
      {"list_user", "/list/user"},
      {"send_file_req", "/transfer/sendfilereq"},
      {"send_file_com", "/transfer/sendfilecom"},
      {"receive_file_req", "/transfer/receivefilereq"},
      {"receive_file_com", "/transfer/receivefilecom"},
      {"group_action", "/group/function"},
  }};

  // Refreshes the access token (at the identity provider, else at the backend) and fetches the
  // user's name; throws what either step throws, and then no client exists. Sends nothing to the
  // endpoint table. local_device must not be null (ValueError). identity_provider is the base URL
  // of the identity provider ("https://" and its domain). temp_folder, an existing folder, takes
  // every temporary file and folder of the client (downloads, packages being made or unpacked,
  // unpacked attachments) and of the job records that send through it. inbox_folder, an existing
  // folder on the same file system (the temporary folder when empty), keeps each downloaded
  // package, flushed to disk, before it is acknowledged.
  Network(std::optional<std::string> server_url, std::string refresh_token,
          std::shared_ptr<device::LocalDevice> local_device,
          std::string identity_provider = identity_provider_url(),
          std::filesystem::path temp_folder = utils::temp_directory(),
          std::filesystem::path inbox_folder = {});

  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;
  ~Network();

  const std::optional<std::string>& server_url() const noexcept { return server_url_; }
  const std::string& refresh_token() const noexcept { return refresh_token_; }
  const std::string& username() const noexcept { return username_; }
  const std::shared_ptr<device::LocalDevice>& local_device() const noexcept {
    return local_device_;
  }
  std::string access_token() const;
  TokenRefresh token_refresh() const noexcept { return refresh_in_force_.load(); }
  bool is_registered() const noexcept { return is_registered_.load(); }
  std::shared_ptr<const DeviceTable> devices() const;
  const std::filesystem::path& temp_folder() const noexcept { return temp_folder_; }
  const std::filesystem::path& inbox_folder() const noexcept { return inbox_folder_; }

  // A new header list whose one member is "Authorization": "Bearer " and the token in force.
  utils::HttpHeaders auth_headers() const;

  // Creates a signature from the data provided and adds that to the data in the 'sig' key: a new
  // mapping of data's members in ascending key order, then "sig", the b2s text of the signature
  // over the UTF-8 of that sorted mapping's literal text. TypeError when data is not a mapping.
  utils::Value _sign(const utils::Value& data) const;

  // Makes a signed request to some endpoint on the backend with the data provided and returns the
  // backend's response without "valid" and "code". Renews the access token once on a 401
  // "token_expired" answer. Throws KeyError for an endpoint not in ENDPOINTS (nothing sent),
  // BackendError or ValidityError for a non-zero code, HTTPError for a 400-599 status (after
  // logging the request trace), ConnectionError, and ValueError, KeyError or TypeError for an
  // answer that is not a JSON object with "valid" and "code". data is the caller's own value
  // (a request built on the local device's profile passes the snapshot that
  // LocalDevice::update_info returns, so the signed members are one consistent state).
  utils::Value _send_request(std::string_view endpoint, const utils::Value& data);

  // Registry, device list and status. Each request is built on the local device's profile (for
  // register_, on device's): the members it writes stay there for later requests.

  // Announces device to the backend's registry, with "username", "password", "ed_key",
  // "curve_key" and "one_time_keys" written into its profile. RuntimeError "Redundant registration
  // attempt" when registered already; nothing is sent then.
  bool register_(device::LocalDevice& device);
  // Withdraws the registration. RuntimeError "Redundant Unregistration" when not registered.
  void unregister();
  // Fetches the backend's device list of group_id (sent as "groupid"; none sends null) and swaps
  // the table it gives for devices() in one step. On any failure, that of one malformed entry
  // included, devices() keeps its previous table.
  void update_devices(const std::optional<std::string>& group_id = "0");
  // Sets the local device's status (first, whatever follows) and reports it as "status_type".
  bool set_status(device::DeviceStatus status);

  // Calls the group service: action call on the group group_name, with uuid_list sent as JSON
  // text and "groupid" and "subgroup" empty. Returns the backend's answer without "valid" and
  // "code" ("sync" answers "members_list", "owner" and "description").
  utils::Value group_function(const std::optional<std::string>& call,
                              const std::optional<std::string>& group_name,
                              const std::vector<std::string>& uuid_list = {},
                              const std::optional<std::string>& group_desc = "");

  // Packages between nodes: a zip archive of "label.json" and, when an attachment folder is
  // given, "attachment.zip" of that folder's contents. Streamed through files in the temporary
  // folder, never held whole in memory.

  // Sends a package to the device dest_uuid. The label holds "origin" (this device's id),
  // "dest", "subject", "sent_time", then the members of labels (a mapping) in their order; a label
  // named like one of the first four replaces its value in its place. An empty attachment path
  // means none; the folder is only read. Returns the package file's path, which no longer exists:
  // the package's temporary files are removed whether the send succeeded or failed. Throws
  // TypeError for no destination, a labels value that is no mapping or a label named "subject",
  // "dest_uuid" or "attachment" (before anything is made); ValueError for a destination that is
  // no b2s text or a label value without JSON form; OSError for an attachment folder or file that
  // cannot be read; and what _send_file throws.
  std::filesystem::path send_pkg(const std::optional<std::string>& dest_uuid,
                                 const std::optional<std::string>& subject,
                                 const std::filesystem::path& attachment = {},
                                 const utils::Value& labels = utils::Value::object());

  // Takes the next package queued for this device: _recv_file, then read_pkg of the file it
  // kept. Throws what either throws (ValidityError: nothing is queued).
  ReceivedPackage recv_pkg(const package::PackageBounds& bounds = {});

  // Reads the package file kept in the inbox folder: tests every member against its CRC-32, reads
  // the label and unpacks the attachment into a fresh temporary folder; the file stays, the
  // caller's. A package that cannot be read or passes one of bounds is removed with everything
  // made of it: RefusedPackage, whose text is "Package has bad file: <member>" for a damaged
  // member or an attachment member that would leave its folder or is a link, "Package does not
  // have a label", the bound passed, or why the file is no readable zip archive or its label no
  // JSON.
  ReceivedPackage read_pkg(const std::filesystem::path& file,
                           const package::PackageBounds& bounds = {});

  // File transfer through the backend's transfer service and its storage URLs.

  // Sends the file at filepath to device dest_uuid (for log "0") or as a log upload (any other
  // log flag, which skips the completion request), shared as filename, or when that is empty as
  // filepath's last component. Writes "uuid_friend", "file_to_share" and "log" into the local
  // device's profile. The body is read from the file as it is sent. Throws what _send_request
  // throws, OSError when the file cannot be read, HTTPError for an upload answered 400 to 599,
  // ConnectionError.
  bool _send_file(const Bytes& dest_uuid, const std::filesystem::path& filepath,
                  const std::string& filename = "", const std::string& log = "0");
  // As above, the body read from a file the caller holds open (file.path gives the name when
  // filename is empty), so that what is sent is the file that the caller checked.
  bool _send_file(const Bytes& dest_uuid, const utils::OpenFile& file,
                  const std::string& filename = "", const std::string& log = "0");

  // Downloads the next file queued for this device into the temporary folder, keeps it in the
  // inbox folder (flushed to disk, then moved there), acknowledges it and returns its path. The
  // name the backend gives is reduced to its last component (an empty, "." or ".." name, or one
  // already taken, gets a fresh name); the file is created exclusively, no link followed, and
  // streamed to disk. Throws ValidityError when nothing is queued, what _send_request throws,
  // HTTPError, ConnectionError, OSError; a failed download leaves no file, and one whose
  // acknowledgement fails stays in the inbox folder. A file larger than bounds.bytes, or one that
  // would leave less free disk than bounds.disk_reserve, is acknowledged unread, so that it is not
  // offered again: RefusedPackage.
  std::filesystem::path _recv_file(const package::PackageBounds& bounds = {});

  // A new access token from the refresh operation in force.
  std::string new_access_token();
  // A new access token from the identity provider; once it answers an error status, the client
  // switches to new_access_token_cli for good and answers that.
  std::string new_access_token_gui();
  // A new access token from the backend: the whole answer text of "refresh/token".
  std::string new_access_token_cli();
  // The user's name for the access token in force; RuntimeError "Could not retrieve user
  // information: ..." for an error status.
  std::string get_username() const;

 private:
  // What both _send_file do; filepath is the file that body sends (a path or an open file).
  bool send_file_body(const Bytes& dest_uuid, utils::HttpBody body,
                      const std::filesystem::path& filepath, const std::string& filename,
                      const std::string& log);

  // One signed request as it went and came.
  struct SignedExchange {
    std::string url;
    utils::Value signed_data;
    utils::HttpResponse response;
  };
  // The first half of _send_request: signs, posts, renews the token once; throws what
  // _send_request throws before the answer's body is read. The answer's body is read into
  // body_storage (see HttpRequest::body_storage).
  SignedExchange signed_exchange(std::string_view endpoint, const utils::Value& data,
                                 std::string body_storage = {});
  // The second half: the answer's mapping without "valid" and "code", or the error it tells.
  utils::Value checked_answer(const SignedExchange& exchange) const;
  // The exchange's request trace.
  std::string trace(const SignedExchange& exchange) const;

  // The trace's header mapping: the bearer token shown by its fingerprint, never whole.
  utils::Value trace_headers() const;
  // Posts body to url with the current bearer header.
  utils::HttpResponse post_signed(const std::string& url, const std::string& body,
                                  std::string body_storage) const;

  const std::optional<std::string> server_url_;
  const std::string refresh_token_;
  const std::string identity_provider_;
  const std::filesystem::path temp_folder_;
  const std::filesystem::path inbox_folder_;
  std::atomic<TokenRefresh> refresh_in_force_{TokenRefresh::gui};
  mutable std::mutex fields_mutex_;
  std::string access_token_;                    // guarded by fields_mutex_
  std::string username_;                        // set once by the constructor
  const std::shared_ptr<device::LocalDevice> local_device_;
  std::atomic<bool> is_registered_{false};
  // guarded by fields_mutex_; replaced whole by each update_devices
  std::shared_ptr<const DeviceList> device_list_;
  // guarded by fields_mutex_; what update_devices reads into, taken while it reads
  std::unique_ptr<DeviceListMemory> device_list_memory_;
};

}  // namespace velmora::networking
