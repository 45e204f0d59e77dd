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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "velmora/device/device.hpp"
#include "velmora/device/local_device.hpp"
#include "velmora/networking/identity_provider.hpp"
#include "velmora/networking/network_error.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/http/http_client.hpp"
#include "velmora/utils/stores/ordered_dict.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::networking {

using utils::Bytes;

// Device id to remote device, in the order of the backend's list.
using DeviceTable = utils::OrderedDict<Bytes, device::Device>;

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
  // of the identity provider ("https://" and its domain).
  Network(std::optional<std::string> server_url, std::string refresh_token,
          std::shared_ptr<device::LocalDevice> local_device,
          std::string identity_provider = identity_provider_url());

  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

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
  // The trace's header mapping: the bearer token shown by its fingerprint, never whole.
  utils::Value trace_headers() const;
  // Posts body to url with the current bearer header.
  utils::HttpResponse post_signed(const std::string& url, const std::string& body) const;

  const std::optional<std::string> server_url_;
  const std::string refresh_token_;
  const std::string identity_provider_;
  std::atomic<TokenRefresh> refresh_in_force_{TokenRefresh::gui};
  mutable std::mutex fields_mutex_;
  std::string access_token_;                    // guarded by fields_mutex_
  std::string username_;                        // set once by the constructor
  const std::shared_ptr<device::LocalDevice> local_device_;
  std::atomic<bool> is_registered_{false};
  std::shared_ptr<const DeviceTable> devices_;  // guarded by fields_mutex_; replaced whole
};

}  // namespace velmora::networking
