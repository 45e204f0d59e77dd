#pragma once
// The guarded endpoints through HTTPS after a login, on a node whose identity the fake backend
// knows (model::kNodeId), beside the devices kDeviceId and kPeerId, which the node's device table
// lists once list_devices() has run. Requests bear a valid token of the node's user.

#include <string>
#include <vector>

#include "api_fixture.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {

using Lines = std::vector<std::string>;

class EndpointFixture : public ApiFixture {
 protected:
  EndpointFixture();

  model::Velmora& node() { return *state().gobj(); }

  // Registers the node and the two other devices with the backend and reads the device list into
  // the node's table.
  void list_devices();
  // The profile of the device whose id text is id, as the node's table holds it.
  utils::Value profile(const std::string& id);

  // GET path, and POST path with body, as the node's user.
  httplib::Result ask(const std::string& path) { return get(path, headers_); }
  httplib::Result act(const std::string& path, const std::string& body) {
    return post(path, body, headers_);
  }

  // What the backend took since the last call, a line each, with the node named "N", kDeviceId
  // "D" and kPeerId "P": "N sync crew", "N add crew [D]" ("... refused" when refused),
  // "N -> D friend_accept" (a package, with its label "group" when it has one).
  Lines exchanges();

 private:
  httplib::Headers headers_;
  std::size_t exchanges_seen_ = 0;
};

// The answer (status 200, JSON) of the endpoint's triple, with its one payload field if given.
void expect_triple(const httplib::Result& result, bool success, const std::string& message);
void expect_triple(const httplib::Result& result, const std::string& message,
                   const std::string& field, const utils::Value& value);
// The guard's answer to a failing endpoint: status 500, (false, -1, message).
void expect_failure(const httplib::Result& result, const std::string& message);

}  // namespace velmora::daemon
