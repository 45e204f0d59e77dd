#include "velmora/boxwright/engine/engine_address.hpp"

#include <charconv>
#include <cstdlib>

#include "velmora/boxwright/engine/engine_error.hpp"

namespace velmora::boxwright::engine {
namespace {

EngineError unusable(std::string_view docker_host, std::string_view why) {
  return EngineError(
      0, "DOCKER_HOST '" + std::string(docker_host) + "' cannot be used: " + std::string(why));
}

// "host[:port]" of a tcp:// address, checked, with the default port filled in.
std::string tcp_authority(std::string_view docker_host, std::string_view authority,
                          std::string_view default_port) {
  if (authority.ends_with('/')) authority.remove_suffix(1);
  if (authority.find_first_of("/?#@ \t\r\n") != std::string_view::npos)
    throw unusable(docker_host, "only a host and a port may follow tcp://");
  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with('[')) {  // [IPv6 address]
    const auto close = authority.find(']');
    if (close == std::string_view::npos) throw unusable(docker_host, "unclosed '['");
    host = authority.substr(0, close + 1);
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) throw unusable(docker_host, "junk after ']'");
    if (!rest.empty()) port = rest.substr(1);
  } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty()) throw unusable(docker_host, "empty port");
  }
  if (host.empty() || host == "[]") throw unusable(docker_host, "no host");
  if (host.find(':') != std::string_view::npos && !host.starts_with('['))
    throw unusable(docker_host, "an IPv6 address must stand in brackets");
  if (port.empty()) port = default_port;
  int number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (error != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535)
    throw unusable(docker_host, "the port must be a number from 1 to 65535");
  return std::string(host) + ":" + std::string(port);
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

EngineAddress engine_address(std::string_view docker_host, std::string_view tls_verify,
                             std::string_view cert_path, std::string_view home) {
  EngineAddress address;
  if (docker_host.empty()) {
    address.base_url = "http://localhost";
    address.unix_socket = kDefaultSocket;
    return address;
  }
  if (docker_host.starts_with("unix://")) {
    address.base_url = "http://localhost";
    address.unix_socket = docker_host.substr(7);
    if (address.unix_socket.empty()) throw unusable(docker_host, "no socket path");
    return address;
  }
  if (!docker_host.starts_with("tcp://"))
    throw unusable(docker_host, "it must start with unix:// or tcp://");

  const bool tls = !tls_verify.empty() || !cert_path.empty();
  const std::string authority =
      tcp_authority(docker_host, docker_host.substr(6), tls ? "2376" : "2375");
  address.base_url = (tls ? "https://" : "http://") + authority;
  if (!tls) return address;

  const std::filesystem::path folder = cert_path.empty() ? std::filesystem::path(home) / ".docker"
                                                         : std::filesystem::path(cert_path);
  address.ca_file = folder / "ca.pem";
  address.client_cert = folder / "cert.pem";
  address.client_key = folder / "key.pem";
  for (const auto& file : {address.ca_file, address.client_cert, address.client_key}) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(file, ignored))
      throw EngineError(0, "TLS to the Docker engine needs " + file.string());
  }
  return address;
}

EngineAddress engine_address_from_env() {
  return engine_address(env("DOCKER_HOST"), env("DOCKER_TLS_VERIFY"), env("DOCKER_CERT_PATH"),
                        env("HOME"));
}

}  // namespace velmora::boxwright::engine
