#include "velmora/daemon/server/route_index.hpp"

#include "velmora/daemon/endpoints/guarded_endpoints.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace velmora::daemon {
namespace {

TEST(RouteIndex, HoldsTheRoutesOfTheApi) {
  std::set<std::string_view> paths, handlers, unguarded;
  int posts = 0;
  for (const Route& route : ROUTES) {
    paths.insert(route.path);
    handlers.insert(route.handler);
    if (!route.guarded) unguarded.insert(route.handler);
    posts += route.method == Method::kPost;
    // Handlers bear their path's name, but for the eight job controls.
    const std::string name(route.path.substr(1));
    if (route.path.ends_with("Launch") || route.path.ends_with("Landing")) {
      EXPECT_NE(route.handler, name);
      EXPECT_NE(route.handler.find('_'), std::string_view::npos) << route.path;
    } else {
      EXPECT_EQ(route.handler, name);
    }
    EXPECT_EQ(find_route(route.path), &route);
  }
  EXPECT_EQ(paths.size(), 51u);
  EXPECT_EQ(handlers.size(), 51u);
  EXPECT_EQ(posts, 33);
  EXPECT_EQ(unguarded, (std::set<std::string_view>{"identify_token", "backend", "authenticate"}));
  EXPECT_EQ(ROUTES.front().path, "/identify_token");
  EXPECT_EQ(ROUTES.back().path, "/unregister");
  // State-changing GET routes and reading POST routes stay as they are registered.
  EXPECT_EQ(find_route("/clearMyJobHistory")->method, Method::kGet);
  EXPECT_EQ(find_route("/groupOwnerInfo")->method, Method::kPost);
  EXPECT_EQ(find_route("/stopLanding")->handler, "stop_landing");
}

TEST(RouteIndex, MatchesPathsExactly) {
  for (const char* path : {"/getMyUUID/", "/getmyuuid", "/GETMYUUID", "getMyUUID", "/", "",
                           "//getMyUUID", "/getMyUUID?x=1", "/getMyUUIDs"})
    EXPECT_EQ(find_route(path), nullptr) << path;
}

TEST(RouteIndex, TellsTheMethodsOfARoute) {
  const Route& get = *find_route("/getMyUUID");
  const Route& post = *find_route("/register");
  EXPECT_TRUE(serves_method(get, "GET"));
  EXPECT_TRUE(serves_method(get, "HEAD"));
  EXPECT_FALSE(serves_method(get, "POST"));
  EXPECT_TRUE(serves_method(post, "POST"));
  for (const char* method : {"GET", "HEAD", "PUT", "post", "OPTIONS"})
    EXPECT_FALSE(serves_method(post, method)) << method;
  EXPECT_EQ(allowed_methods(get), "GET, HEAD, OPTIONS");
  EXPECT_EQ(allowed_methods(post), "OPTIONS, POST");
}

// The daemon serves every guarded route through an endpoint of its own.
TEST(RouteIndex, EveryGuardedRouteHasOneEndpoint) {
  std::multiset<std::string_view> served;
  for (const EndpointRow& row : guarded_endpoints()) served.insert(row.handler);
  std::multiset<std::string_view> guarded;
  for (const Route& route : ROUTES)
    if (route.guarded) guarded.insert(route.handler);
  EXPECT_EQ(served, guarded);
  EXPECT_EQ(guarded.size(), 48u);
}

}  // namespace
}  // namespace velmora::daemon
