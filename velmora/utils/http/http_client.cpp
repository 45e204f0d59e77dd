#include "velmora/utils/http/http_client.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "velmora/utils/file_descriptor.hpp"
#include "velmora/utils/http/trusted_authorities.hpp"

namespace velmora::utils {
namespace {

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallBytesPerSecond = 1;
constexpr std::size_t kMaxErrorBody = std::size_t{1} << 20;

// libcurl must be initialised before any thread uses it. Every request passes here first, and a
// function-local static runs the initialisation exactly once while concurrent first callers wait,
// so neither the daemon nor a test needs a set-up step of its own. It is never cleaned up: the
// process ends with libcurl still usable by threads that outlive main.
void init_curl_once() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK)
    throw TransferError(std::string("libcurl cannot start: ") + curl_easy_strerror(result));
}

bool holds_line_break_or_nul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void check_request(const HttpRequest& request) {
  if (request.method.empty() ||
      request.method.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos)
    throw ValueError("HTTP method must be upper-case letters");
  for (const auto& [name, value] : request.headers) {
    if (name.empty() || holds_line_break_or_nul(name) ||
        name.find_first_of(": \t") != std::string::npos)
      throw ValueError("HTTP header name is empty or holds a colon, a blank, CR, LF or NUL");
    if (holds_line_break_or_nul(value))
      throw ValueError("value of HTTP header " + name + " holds CR, LF or NUL");
  }
}

// The URL as error texts may show it: without user information, query or fragment.
std::string shown_url(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return std::string(url);
  const auto authority = scheme_end + 3;
  const auto at = url.find('@', authority);
  if (at == std::string_view::npos || at > url.find('/', authority)) return std::string(url);
  return std::string(url.substr(0, authority)) + std::string(url.substr(at + 1));
}

// The text of a TransferError: the request as error texts may show it, and why it failed.
std::string failure_text(const HttpRequest& request, std::string_view reason) {
  std::string text = request.method + " " + shown_url(request.url);
  if (!request.unix_socket.empty()) text += " (over " + request.unix_socket + ")";
  text += ": ";
  text += reason;
  return text;
}

// The state of one transfer, reached by libcurl's callbacks, which never let an exception through
// libcurl (see guarded).
struct Transfer {
  CURL* curl;
  const HttpRequest& request;
  HttpResponse response = {};
  std::exception_ptr failure = nullptr;
  bool header_ended = false;  // the last header block came to its blank line
  bool answer_began = false;  // a line of an answer came

  std::string_view memory_body = {};  // unsent rest of a body in memory
  FileDescriptor body_file = {};  // a body file opened by path
  int body_fd = -1;               // the body file's descriptor, -1 for a body in memory
  std::filesystem::path body_path = {};
  // A body file is sent as the size it had when opened: a file that grows meanwhile (a log being
  // written) must not send more than the announced length.
  curl_off_t body_file_size = 0;
  curl_off_t body_file_offset = 0;  // of the next byte to send
  FileDescriptor answer_file = {};

  void take_header_line(std::string_view line) {
    answer_began = true;
    if (line.starts_with("HTTP/")) {  // a new header block: an interim answer came before
      response.headers.clear();
      header_ended = false;
      return;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) {
      header_ended = true;
      return;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string_view value = line.substr(colon + 1);
    const auto first = value.find_first_not_of(" \t");
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    response.headers.emplace_back(std::move(name), std::string(value));
  }

  // False when the rest of the answer is not wanted.
  bool take_body(std::string_view chunk) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) return keep_body(chunk, kMaxErrorBody);
    if (const auto* sink = std::get_if<ChunkSink>(&request.answer)) {
      (*sink)(chunk);
    } else if (const auto* path = std::get_if<std::filesystem::path>(&request.answer)) {
      open_answer_file(*path);
      write_all(answer_file.get(), chunk, *path);
    } else {
      return keep_body(chunk, request.body_limit ? request.body_limit : SIZE_MAX);
    }
    return true;
  }

  // Appends chunk to the kept body up to limit; false once the body passes it.
  bool keep_body(std::string_view chunk, std::size_t limit) {
    if (response.body.empty()) reserve_announced_body(limit);
    const std::size_t room = limit - std::min(limit, response.body.size());
    response.body.append(chunk.substr(0, room));
    response.body_cut = chunk.size() > room;
    return !response.body_cut;
  }

  // Room for the body the answer announces, up to limit: a body grown piece by piece moves to
  // fresh memory at every doubling.
  void reserve_announced_body(std::size_t limit) {
    curl_off_t announced = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced > 0)
      response.body.reserve(std::min(static_cast<std::size_t>(announced), limit));
  }

  void open_answer_file(const std::filesystem::path& path) {
    if (!answer_file.is_open()) answer_file.open(path, O_WRONLY | O_CREAT | O_TRUNC);
  }

  std::size_t give_body(char* buffer, std::size_t capacity) {
    if (body_fd >= 0) {
      const auto left = static_cast<std::size_t>(body_file_size - body_file_offset);
      const std::size_t wanted = std::min(capacity, left);
      for (;;) {
        const ssize_t got = ::pread(body_fd, buffer, wanted, body_file_offset);
        if (got >= 0) {
          body_file_offset += got;
          return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) throw OSError(errno, body_path);
      }
    }
    const std::size_t n = std::min(capacity, memory_body.size());
    std::memcpy(buffer, memory_body.data(), n);
    memory_body.remove_prefix(n);
    return n;
  }

  // Sends the body again from offset, as when a kept connection turned out closed.
  bool rewind_body(curl_off_t offset) {
    if (body_fd >= 0) {
      if (offset < 0 || offset > body_file_size) return false;
      body_file_offset = offset;
      return true;
    }
    const auto* bytes = std::get_if<std::string>(&request.body);
    const std::string_view whole = bytes ? std::string_view(*bytes) : std::string_view();
    if (offset < 0 || static_cast<std::size_t>(offset) > whole.size()) return false;
    memory_body = whole.substr(static_cast<std::size_t>(offset));
    return true;
  }
};

// Runs one callback's step; what it throws is kept for http_request, and libcurl gets
// error_result, which makes it stop.
template <class Step>
std::size_t guarded(void* user, std::size_t error_result, Step step) {
  auto& transfer = *static_cast<Transfer*>(user);
  try {
    return step(transfer);
  } catch (...) {
    transfer.failure = std::current_exception();
    return error_result;
  }
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  return guarded(user, 0, [&](Transfer& transfer) {
    transfer.take_header_line(std::string_view(data, size * count));
    return size * count;
  });
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  return guarded(user, CURL_WRITEFUNC_ERROR, [&](Transfer& transfer) {
    return transfer.take_body(std::string_view(data, size * count)) ? size * count
                                                                    : CURL_WRITEFUNC_ERROR;
  });
}

std::size_t on_read(char* buffer, std::size_t size, std::size_t count, void* user) {
  return guarded(user, CURL_READFUNC_ABORT,
                 [&](Transfer& transfer) { return transfer.give_body(buffer, size * count); });
}

int on_seek(void* user, curl_off_t offset, int origin) {
  return static_cast<int>(guarded(user, CURL_SEEKFUNC_FAIL, [&](Transfer& transfer) {
    return origin == SEEK_SET && transfer.rewind_body(offset) ? CURL_SEEKFUNC_OK
                                                              : CURL_SEEKFUNC_CANTSEEK;
  }));
}

// The bundle named by VELMORA_CA_FILE, or null.
const char* extra_authorities_file() {
  const char* file = std::getenv("VELMORA_CA_FILE");
  return file && *file ? file : nullptr;
}

// Hands a TLS connection the process's shared store of the authorities this request trusts, those
// of the bundle named by VELMORA_CA_FILE included; libcurl itself loads none. libcurl calls it for
// TLS connections only, so a bad bundle fails only the requests that need it.
CURLcode use_trusted_authorities(CURL*, void* ssl_ctx, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const char* extra = extra_authorities_file();
  try {
    const X509StoreRef store =
        trusted_authorities(transfer.request.trusted_ca_file, extra ? extra : "");
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(ssl_ctx), store.get());
    return CURLE_OK;
  } catch (const OSError& error) {
    if (extra && error.path() == extra) {
      const std::string reason = error.error_number() == EINVAL
                                     ? "it holds no PEM certificate that loads"
                                     : std::strerror(error.error_number());
      transfer.failure = std::make_exception_ptr(TransferError(failure_text(
          transfer.request, "VELMORA_CA_FILE names a certificate bundle that cannot be used, '" +
                                std::string(extra) + "': " + reason)));
    } else {
      transfer.failure = std::current_exception();
    }
  } catch (...) {
    transfer.failure = std::current_exception();
  }
  return CURLE_SSL_CACERT_BADFILE;
}

// Whether the URL's host is this machine's loopback: a proxy elsewhere cannot reach it.
bool is_loopback_host(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parts(curl_url(), &curl_url_cleanup);
  char* raw_host = nullptr;
  if (!parts || curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parts.get(), CURLUPART_HOST, &raw_host, 0) != CURLUE_OK)
    return false;
  std::string host(raw_host);
  curl_free(raw_host);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (host == "localhost" || host == "[::1]") return true;
  in_addr v4{};
  return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

CurlHandle new_curl_handle() {
  CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) throw TransferError("libcurl cannot make a request handle");
  return curl;
}

// Set once the thread's kept handle is gone: a request made later on the thread, from a static
// destructor at exit or another thread-local object's, gets a handle of its own. Trivially
// destructible, so it stays readable until the thread ends.
thread_local bool kept_handle_gone = false;

// libcurl keeps the connections a handle opened for its later requests. Each thread keeps one
// handle, for the trust settings of its last request, so a connection is reused only by a request
// that would have verified it the same way. A request made while the thread's handle is busy (from
// within another request's callback) or gone gets a handle of its own.
class RequestHandle {
 public:
  explicit RequestHandle(std::string trust) {
    if (kept_handle_gone) {
      use_own_handle();
      return;
    }
    thread_local Kept kept;
    if (kept.busy) {
      use_own_handle();
      return;
    }
    if (kept.curl && kept.trust == trust) {
      curl_easy_reset(kept.curl.get());
    } else {
      kept.curl = new_curl_handle();
      kept.trust = std::move(trust);
    }
    kept.busy = true;
    kept_ = &kept;
    curl_ = kept.curl.get();
  }
  ~RequestHandle() {
    if (kept_) kept_->busy = false;
  }
  RequestHandle(const RequestHandle&) = delete;
  RequestHandle& operator=(const RequestHandle&) = delete;

  CURL* get() const noexcept { return curl_; }

 private:
  struct Kept {
    ~Kept() { kept_handle_gone = true; }
    std::string trust;
    CurlHandle curl{nullptr, &curl_easy_cleanup};
    bool busy = false;
  };

  void use_own_handle() {
    own_ = new_curl_handle();
    curl_ = own_.get();
  }
  Kept* kept_ = nullptr;
  CurlHandle own_{nullptr, &curl_easy_cleanup};
  CURL* curl_ = nullptr;
};

// What decides how a request's server is verified and who the client shows itself as.
std::string trust_settings(const HttpRequest& request) {
  const char* extra = extra_authorities_file();
  std::string trust = request.trusted_ca_file.string();
  for (const std::string& part :
       {std::string(extra ? extra : ""), request.client_cert.string(), request.client_key.string()})
    trust.append(1, '\0').append(part);
  return trust;
}

using CurlList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

CurlList header_list(const HttpRequest& request) {
  CurlList list(nullptr, &curl_slist_free_all);
  const auto append = [&list](const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    (void)list.release();
    list.reset(grown);
  };
  // libcurl would otherwise wait for "100 Continue" before sending a large body.
  append("Expect:");
  for (const auto& [name, value] : request.headers) {
    // "Name:" alone would tell libcurl to drop the header; "Name;" sends it empty.
    append(value.empty() ? name + ";" : name + ": " + value);
  }
  return list;
}

// Makes the file open at fd the transfer's body, sent as the size it has now.
curl_off_t use_body_file(Transfer& transfer, int fd, const std::filesystem::path& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw OSError(errno, path);
  transfer.body_fd = fd;
  transfer.body_path = path;
  transfer.body_file_size = static_cast<curl_off_t>(info.st_size);
  return transfer.body_file_size;
}

void set_method_and_body(Transfer& transfer, const HttpRequest& request) {
  CURL* curl = transfer.curl;
  if (request.method == "GET" && std::holds_alternative<std::monostate>(request.body)) {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    return;
  }
  if (request.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());

  curl_off_t size = 0;
  if (const auto* bytes = std::get_if<std::string>(&request.body)) {
    transfer.memory_body = *bytes;
    size = static_cast<curl_off_t>(bytes->size());
  } else if (const auto* path = std::get_if<std::filesystem::path>(&request.body)) {
    transfer.body_file.open(*path, O_RDONLY);
    size = use_body_file(transfer, transfer.body_file.get(), *path);
  } else if (const auto* file = std::get_if<OpenFile>(&request.body)) {
    size = use_body_file(transfer, file->fd, file->path);
  } else if (request.method != "POST" && request.method != "PUT" && request.method != "PATCH") {
    return;  // no body, and none expected
  }
  // An upload of exactly `size` bytes, sent with Content-Length (empty for a POST without body).
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, size);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &on_read);
  curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &on_seek);
  curl_easy_setopt(curl, CURLOPT_SEEKDATA, &transfer);
}

void set_transport(Transfer& transfer, const HttpRequest& request) {
  CURL* curl = transfer.curl;
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  if (request.stall_time.count() > 0) {
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.stall_time.count()));
  }
  if (request.timeout.count() > 0)
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  if (!request.unix_socket.empty())
    curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, request.unix_socket.c_str());
  if (!request.unix_socket.empty() || is_loopback_host(request.url))
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  // libcurl would otherwise keep the first store a kept handle saw and hand it to later
  // connections in place of the one use_trusted_authorities gives.
  curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &use_trusted_authorities);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &transfer);
  if (!request.client_cert.empty())
    curl_easy_setopt(curl, CURLOPT_SSLCERT, request.client_cert.c_str());
  if (!request.client_key.empty())
    curl_easy_setopt(curl, CURLOPT_SSLKEY, request.client_key.c_str());
}


// Whether the request failed on a kept connection before any of an answer came: the server had
// closed it, or closed it as the request went (libcurl itself sends again only when nothing could
// be sent). The server has taken up nothing, so the request may go once more on a fresh one.
bool unanswered_on_kept_connection(const Transfer& transfer, CURLcode result) {
  long connects = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_NUM_CONNECTS, &connects);
  return (result == CURLE_SEND_ERROR || result == CURLE_RECV_ERROR ||
          result == CURLE_GOT_NOTHING) &&
         connects == 0 && !transfer.answer_began && !transfer.failure;
}

}  // namespace

const std::string* HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); }))
      return &value;
  }
  return nullptr;
}

HttpResponse http_request(HttpRequest request) {
  check_request(request);
  init_curl_once();

  const RequestHandle curl(trust_settings(request));
  Transfer transfer{.curl = curl.get(), .request = request};
  transfer.response.body = std::move(request.body_storage);
  transfer.response.body.clear();
  const CurlList headers = header_list(request);

  char error_text[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error_text);
  set_transport(transfer, request);
  set_method_and_body(transfer, request);
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, &on_header);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &on_body);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &transfer);

  CURLcode result = curl_easy_perform(curl.get());
  if (unanswered_on_kept_connection(transfer, result) && transfer.rewind_body(0)) {
    curl_easy_setopt(curl.get(), CURLOPT_FRESH_CONNECT, 1L);
    *error_text = '\0';
    result = curl_easy_perform(curl.get());
  }
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  // A body cut at its limit was stopped on purpose; the answer stands.
  if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && transfer.response.body_cut)) {
    const char* reason = *error_text ? error_text : curl_easy_strerror(result);
    throw TransferError(failure_text(request, reason), result == CURLE_OPERATION_TIMEDOUT);
  }
  // libcurl takes a status line followed by the end of the connection for a whole answer.
  if (!transfer.header_ended)
    throw TransferError(failure_text(request, "the answer ends within its header block"));

  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &transfer.response.status);
  if (const auto* path = std::get_if<std::filesystem::path>(&request.answer);
      path && transfer.response.status >= 200 && transfer.response.status <= 299) {
    transfer.open_answer_file(*path);  // an empty body still makes the file
    transfer.answer_file.close(*path);
  }
  return std::move(transfer.response);
}

}  // namespace velmora::utils
