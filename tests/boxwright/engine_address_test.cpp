#include "velmora/boxwright/engine/engine_address.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "testing/scoped_folder.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"

namespace velmora::boxwright::engine {
namespace {

TEST(EngineAddress, PlainAddresses) {
  struct Case {
    const char* docker_host;
    const char* base_url;
    const char* unix_socket;
  };
  const Case cases[] = {
      {"", "http://localhost", "/var/run/docker.sock"},
      {"unix:///run/user/1/docker.sock", "http://localhost", "/run/user/1/docker.sock"},
      {"tcp://127.0.0.1:2375", "http://127.0.0.1:2375", ""},
      {"tcp://engine.local", "http://engine.local:2375", ""},
      {"tcp://[::1]:1234/", "http://[::1]:1234", ""},
  };
  for (const auto& c : cases) {
    const EngineAddress address = engine_address(c.docker_host, "", "", "/home/x");
    EXPECT_EQ(address.base_url, c.base_url) << c.docker_host;
    EXPECT_EQ(address.unix_socket, c.unix_socket) << c.docker_host;
    EXPECT_TRUE(address.ca_file.empty()) << c.docker_host;
  }
}

TEST(EngineAddress, MalformedHostsAreRefused) {
  for (const char* host :
       {"unix://", "tcp://", "tcp://:2375", "tcp://host:", "tcp://host:x", "tcp://host:0",
        "tcp://host:65536", "tcp://host:2375/api", "tcp://user@host:1", "tcp://::1:2375",
        "tcp://[::1", "ssh://host", "http://host:2375", "/var/run/docker.sock", "tcp://a b:1"}) {
    EXPECT_THROW(engine_address(host, "", "", "/home/x"), EngineError) << host;
  }
}

TEST(EngineAddress, TlsTakesTheFilesOfTheCertificateFolder) {
  const testing::ScopedFolder home;
  const auto certs = home.path() / ".docker";
  std::filesystem::create_directory(certs);
  for (const char* name : {"ca.pem", "cert.pem", "key.pem"}) std::ofstream(certs / name) << "x";

  // DOCKER_TLS_VERIFY alone takes the folder in the home; DOCKER_CERT_PATH alone means TLS too.
  for (const auto& [verify, cert_path] :
       {std::pair<std::string, std::string>{"1", ""}, {"", certs.string()}}) {
    const EngineAddress address =
        engine_address("tcp://engine:2376", verify, cert_path, home.path().string());
    EXPECT_EQ(address.base_url, "https://engine:2376");
    EXPECT_EQ(address.ca_file, certs / "ca.pem");
    EXPECT_EQ(address.client_cert, certs / "cert.pem");
    EXPECT_EQ(address.client_key, certs / "key.pem");
  }
  EXPECT_EQ(engine_address("tcp://engine", "1", "", home.path().string()).base_url,
            "https://engine:2376");

  std::filesystem::remove(certs / "key.pem");
  EXPECT_THROW(engine_address("tcp://engine:2376", "1", "", home.path().string()), EngineError);
  // Over a unix socket the TLS settings do not matter.
  EXPECT_EQ(engine_address("unix:///s", "1", "", home.path().string()).unix_socket, "/s");
}

}  // namespace
}  // namespace velmora::boxwright::engine
