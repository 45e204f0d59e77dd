#pragma once
// HTTP and HTTPS requests: server certificates always verified, the system's certificate
// authorities trusted plus those of the PEM bundle that the environment variable VELMORA_CA_FILE
// names. A connection must open within 30 s. No redirect is followed. Requests to a loopback host
// (localhost, 127.0.0.0/8, ::1) never go through a proxy; others heed http_proxy, https_proxy and
// no_proxy.
//
// Any thread may call http_request at any time, also while the process exits (from a static
// object's destructor). A connection the server keeps open is reused by later
// requests of the same thread to the same server with the same trust settings (trusted
// authorities, VELMORA_CA_FILE, client certificate); threads share no connection.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "velmora/utils/error.hpp"

namespace velmora::utils {

// Receives an answer's body piece by piece as it arrives. What it throws ends the request and
// reaches the caller of http_request.
using ChunkSink = std::function<void(std::string_view chunk)>;

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// A file the caller holds open, sent from its first byte as the size it has when the request
// starts; read with pread, so the descriptor's offset stays. path names it in error texts. The
// descriptor must stay open for the request.
struct OpenFile {
  int fd = -1;
  std::filesystem::path path = {};
};

// What a request sends: nothing, these bytes, the whole file at that path (opened by the request,
// read as it is sent), or an open file.
using HttpBody = std::variant<std::monostate, std::string, std::filesystem::path, OpenFile>;

struct HttpRequest {
  std::string method = "GET";
  std::string url = {};
  HttpHeaders headers = {};  // names and values holding CR, LF or NUL are refused

  HttpBody body = {};

  // Where the body of a 2xx answer goes: HttpResponse::body, this sink, or the file at that path
  // (created or truncated, mode 0600, once a 2xx answer comes; a failed request may leave part of
  // the body in it).
  std::variant<std::monostate, ChunkSink, std::filesystem::path> answer = {};
  // Bytes of a 2xx body that HttpResponse::body keeps; the rest is not read. Zero: no limit.
  std::size_t body_limit = 0;
  // Memory HttpResponse::body is read into: its content is dropped, its capacity kept. A caller
  // that fetches large answers again and again hands back the last answer's body, so that each
  // lands in pages already mapped rather than in fresh ones faulted in one by one.
  std::string body_storage = {};

  std::string unix_socket = {};          // when set, the request goes there, not to the URL's host
  std::chrono::milliseconds timeout{0};  // limit on the whole exchange; zero means none
  std::chrono::seconds stall_time{120};  // abort when under 1 byte/s moves this long; zero: never

  // TLS: when set, these authorities are trusted in place of the system's; a PEM certificate and
  // its key shown to the server.
  std::filesystem::path trusted_ca_file = {};
  std::filesystem::path client_cert = {};
  std::filesystem::path client_key = {};
};

struct HttpResponse {
  long status = 0;
  HttpHeaders headers;  // names in lower case, in the order they came
  // A 2xx answer's body unless request.answer took it, up to request.body_limit; the first MiB
  // of any other answer's body.
  std::string body;
  bool body_cut = false;  // the body passed its limit, and its rest was not read

  // The value of the first header of that name (in any letter case), or null.
  const std::string* header(std::string_view name) const;
};

// A request that got no complete answer: no connection, a refused certificate or authority
// bundle, a time-out, a stall, an answer cut off before its header block or its announced body
// ended, or a body file that could not be read. Its text names the method and the URL without
// its query, which may hold credentials.
class TransferError : public Error {
 public:
  explicit TransferError(const std::string& text, bool timed_out = false)
      : Error(text), timed_out_(timed_out) {}
  // Whether the time limit or the stall guard ended the request.
  bool timed_out() const noexcept { return timed_out_; }

 private:
  bool timed_out_;
};

// Sends the request and returns the answer, whatever its status. Throws ValueError for a
// malformed header before anything is sent, TransferError, OSError for a body or answer file
// that cannot be opened or written, or what the answer sink throws.
HttpResponse http_request(HttpRequest request);

}  // namespace velmora::utils
