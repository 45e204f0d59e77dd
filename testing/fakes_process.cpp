#include "testing/fakes_process.hpp"

#include <signal.h>

#include <chrono>
#include <optional>

#include "testing/eventually.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/https_client.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::testing {
namespace {

std::vector<std::string> arguments(const std::vector<std::string>& users,
                                   const std::filesystem::path& record_folder) {
  std::vector<std::string> args;
  for (const std::string& user : users) args.insert(args.end(), {"--user", user, "refresh-" + user});
  if (!record_folder.empty()) args.insert(args.end(), {"--record", record_folder.string()});
  return args;
}

}  // namespace

FakesProcess::FakesProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& users,
                           const std::filesystem::path& folder,
                           const std::filesystem::path& record_folder)
    : process_(program, arguments(users, record_folder), folder, {{"TMPDIR", folder.string()}},
               true) {
  // The settings, then a line for each user, the last one's last.
  const std::string last_line = users.empty() ? "" : "(user " + users.back() + ")";
  std::string printed;
  for (;;) {
    const std::optional<std::string> line = process_.read_line(kUnderLoad);
    if (!line)
      throw utils::RuntimeError("the fake backend did not start: " + printed +
                                process_.standard_error());
    printed += *line + "\n";
    if (line->starts_with("backend ")) backend_url_ = line->substr(8);
    if (const auto equals = line->find('='); line->starts_with("VELMORA_"))
      node_environment_[line->substr(0, equals)] = line->substr(equals + 1);
    if (line->ends_with(last_line) && line->starts_with("refresh token ")) break;
  }
  node_environment_["no_proxy"] = node_environment_["NO_PROXY"] = "127.0.0.1,localhost";
}

FakesProcess::~FakesProcess() {
  if (!process_.running()) return;
  process_.send_signal(SIGTERM);
  process_.wait_for_exit();
}

FrontEndTokens FakesProcess::sign_in(const std::string& user, const std::string& audience) const {
  const std::string& domain = node_environment_.at("VELMORA_IDP_DOMAIN");
  const std::size_t colon = domain.rfind(':');
  const auto provider = https_client(domain.substr(0, colon), std::stoi(domain.substr(colon + 1)),
                                     node_environment_.at("VELMORA_CA_FILE"));
  utils::Value grant{{"grant_type", "password"},
                     {"client_id", FakeIdentityProvider::kClientId},
                     {"username", user},
                     {"password", "anything"}};
  if (!audience.empty()) grant["audience"] = audience;
  const httplib::Result result = provider->Post("/oauth/token", grant.dump(), "application/json");
  if (!result || result->status != 200)
    throw utils::RuntimeError("the identity provider gave no tokens for " + user);
  const utils::Value tokens = utils::parse_json(result->body);
  return {tokens.at("access_token").get<std::string>(),
          tokens.at("refresh_token").get<std::string>()};
}

}  // namespace velmora::testing
