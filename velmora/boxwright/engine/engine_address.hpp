#pragma once
// Where the Docker engine listens, taken from the process environment the way Docker's own
// clients take it.

#include <filesystem>
#include <string>
#include <string_view>

namespace velmora::boxwright::engine {

// The engine's socket when DOCKER_HOST is unset or empty.
inline constexpr std::string_view kDefaultSocket = "/var/run/docker.sock";

struct EngineAddress {
  std::string base_url = {};  // "http://localhost" over a unix socket, else "http[s]://host:port"
  std::string unix_socket = {};  // empty over TCP
  // TLS over TCP: the authority that signed the engine's certificate, and the client's pair.
  std::filesystem::path ca_file = {};
  std::filesystem::path client_cert = {};
  std::filesystem::path client_key = {};
};

// The address from DOCKER_HOST ("unix://<path>" or "tcp://<host>[:<port>]", the socket
// /var/run/docker.sock when unset or empty), DOCKER_TLS_VERIFY and DOCKER_CERT_PATH.
// Throws EngineError for settings that cannot be used.
EngineAddress engine_address_from_env();

// The same from given values. TLS is used over TCP when tls_verify or cert_path is not empty;
// cert_path then defaults to home/.docker and must hold ca.pem, cert.pem and key.pem. The
// engine's certificate is always verified against that ca.pem.
EngineAddress engine_address(std::string_view docker_host, std::string_view tls_verify,
                             std::string_view cert_path, std::string_view home);

}  // namespace velmora::boxwright::engine
