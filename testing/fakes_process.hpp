#pragma once
// The fake backend and identity provider as a process of their own (fake_backend), as nodes and
// front ends meet them: the settings it prints, and the tokens a front end gets when a user signs
// in at the provider. One thread uses it.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "testing/child_process.hpp"

namespace velmora::testing {

// What a front end holds once its user has signed in at the identity provider.
struct FrontEndTokens {
  std::string access_token;
  std::string refresh_token;
};

class FakesProcess {
 public:
  // Starts program (fake_backend) in folder, an existing folder that also takes its temporary
  // files, knowing each of users by the refresh token "refresh-<user>", keeping the backend's
  // record in record_folder when one is given; waits for it to print its settings. RuntimeError,
  // with what it wrote, when it does not within a minute.
  FakesProcess(const std::filesystem::path& program, const std::vector<std::string>& users,
               const std::filesystem::path& folder,
               const std::filesystem::path& record_folder = {});
  FakesProcess(const FakesProcess&) = delete;
  FakesProcess& operator=(const FakesProcess&) = delete;
  ~FakesProcess();  // terminates it, so that it removes its own folder, and waits for it

  const std::string& backend_url() const noexcept { return backend_url_; }
  // The settings that point a node at the fakes: VELMORA_IDP_DOMAIN, VELMORA_API_AUDIENCE (the
  // backend's URL) and VELMORA_CA_FILE as it printed them, and loopback kept from any proxy.
  const std::map<std::string, std::string>& node_environment() const noexcept {
    return node_environment_;
  }

  // The tokens of user from the provider's password grant, as a front end gets them: an access
  // token for audience (the backend's URL when empty) and the user's refresh token.
  // RuntimeError when the provider refuses.
  FrontEndTokens sign_in(const std::string& user, const std::string& audience = "") const;

 private:
  ChildProcess process_;
  std::string backend_url_;
  std::map<std::string, std::string> node_environment_;
};

}  // namespace velmora::testing
