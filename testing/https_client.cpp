#include "testing/https_client.hpp"

#include "testing/eventually.hpp"

namespace velmora::testing {

std::unique_ptr<httplib::SSLClient> https_client(const std::string& host, int port,
                                                 const std::filesystem::path& ca_file) {
  auto client = std::make_unique<httplib::SSLClient>(host, port);
  client->set_ca_cert_path(ca_file.string());
  client->enable_server_certificate_verification(true);
  client->set_keep_alive(true);
  client->set_tcp_nodelay(true);
  client->set_read_timeout(kUnderLoad);
  return client;
}

}  // namespace velmora::testing
