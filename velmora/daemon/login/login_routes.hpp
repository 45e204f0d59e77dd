#pragma once
// The three routes served without the endpoint guard, before a node object exists:
// "/identify_token", "/backend" and the login "/authenticate".

#include <mutex>

#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/server/api_exchange.hpp"

namespace velmora::daemon {

// POST "/identify_token": has the identity provider name the user of the body's "access_token"
// (text conversion), then answers 204 with no body. Nothing is caught: a body that is not JSON
// is BadRequest, a missing key or a failed lookup fails the request.
ApiAnswer identify_token(const ApiState& state, const ApiRequest& request);

// GET "/backend": the backend base URL of the command line, as text.
ApiAnswer backend(const ApiState& state);

// POST "/authenticate": builds and publishes the node object. One login at a time: a login
// waits for the one under way. *state must outlive the object; authenticate may be called from
// any thread.
class Login {
 public:
  explicit Login(ApiState* state) : state_(state) {}
  Login(const Login&) = delete;
  Login& operator=(const Login&) = delete;

  // In order: the bearer token checked (an AuthError answered 500 with its refusal, as JSON);
  // with a node object already there, "User is already authenticated"; the body's
  // "refresh_token" (text conversion) read; the access token's user looked up; a user other
  // than the recorded owner of the node's user data refused; the node object built (a
  // NetworkError answered with its code, and its msg and req_trace on two lines; another
  // failure with its text); a refresh token of another user than the access token's refused
  // with "Access token userinfo != Refresh token userinfo", the node dropped; the owner
  // recorded at the first login; the node published, "success". Each refusal is (false, code,
  // message) with status 200 and the default content type, and nothing is published. Not
  // caught, so nothing is built: a token check that fails otherwise than with AuthError, a body
  // that is not JSON (BadRequest), a missing key, a failed user lookup.
  ApiAnswer authenticate(const ApiRequest& request);

 private:
  ApiState* const state_;
  std::mutex mutex_;  // the login lock: held from the test for a node object to the end
};

}  // namespace velmora::daemon
