#pragma once
// The tests' HTTPS client, for a local API and for the fakes alike: it verifies the server's
// certificate against ca_file for the host name it connects to, keeps its connection between
// requests and waits up to two minutes for an answer. One thread uses a client.

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <string>

namespace velmora::testing {

std::unique_ptr<httplib::SSLClient> https_client(const std::string& host, int port,
                                                 const std::filesystem::path& ca_file);

}  // namespace velmora::testing
