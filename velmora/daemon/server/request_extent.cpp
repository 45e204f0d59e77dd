#include "velmora/daemon/server/request_extent.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

namespace velmora::daemon {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::size_t kMaxChunkSizeLine = 1024;

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The headers a body's framing depends on: the first of each name, as the parser takes them.
struct BodyHeaders {
  std::optional<std::string_view> content_length;
  std::optional<std::string_view> transfer_encoding;
  bool content_length_twice = false;
};

BodyHeaders body_headers(std::string_view head) {
  BodyHeaders found;
  for (std::size_t start = head.find(kLineEnd); start != std::string_view::npos;) {
    start += kLineEnd.size();
    const std::size_t end = head.find(kLineEnd, start);
    const std::string_view line = head.substr(start, end - start);
    start = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (same_name(name, "Content-Length")) {
      found.content_length_twice = found.content_length.has_value();
      if (!found.content_length) found.content_length = value;
    } else if (same_name(name, "Transfer-Encoding") && !found.transfer_encoding) {
      found.transfer_encoding = value;
    }
  }
  return found;
}

std::optional<std::size_t> decimal(std::string_view text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos)
    return std::nullopt;
  std::size_t value = 0;
  for (const char digit : text) value = value * 10 + static_cast<std::size_t>(digit - '0');
  return value;
}

// The size a chunk-size line gives (extensions after ';' ignored), or none.
std::optional<std::size_t> chunk_size(std::string_view line) {
  line = trimmed(line.substr(0, line.find(';')));
  if (line.empty() || line.size() > 15) return std::nullopt;
  std::size_t size = 0;
  for (const char c : line) {
    const int digit = std::isdigit(static_cast<unsigned char>(c))  ? c - '0'
                      : std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(c) - 'a' + 10
                                                                      : -1;
    if (digit < 0) return std::nullopt;
    size = size * 16 + static_cast<std::size_t>(digit);
  }
  return size;
}

// The end of a chunked body that starts at start, or what request_extent answers.
RequestExtent chunked_extent(std::string_view bytes, std::size_t start, std::size_t max_body) {
  const RequestExtent incomplete{0, false};
  const RequestExtent refused{bytes.size(), true};
  std::size_t data = 0;
  for (std::size_t at = start;;) {
    const std::size_t line_end = bytes.find(kLineEnd, at);
    if (line_end == std::string_view::npos)
      return bytes.size() - at > kMaxChunkSizeLine ? refused : incomplete;
    const auto size = chunk_size(bytes.substr(at, line_end - at));
    if (!size) return refused;
    at = line_end + kLineEnd.size();
    if (*size == 0) {  // then trailer lines, up to a blank one
      for (;;) {
        const std::size_t end = bytes.find(kLineEnd, at);
        if (end == std::string_view::npos) return incomplete;
        if (end == at) return {end + kLineEnd.size(), false};
        at = end + kLineEnd.size();
      }
    }
    data += *size;
    if (data > max_body) return refused;
    if (bytes.size() - at < *size + kLineEnd.size()) return incomplete;
    if (bytes.substr(at + *size, kLineEnd.size()) != kLineEnd) return refused;
    at += *size + kLineEnd.size();
  }
}

}  // namespace

RequestExtent request_extent(std::string_view bytes, std::size_t max_head, std::size_t max_body) {
  const std::size_t blank = bytes.find("\r\n\r\n");
  if (blank == std::string_view::npos || blank + 4 > max_head) {
    if (bytes.size() < max_head) return {};
    return {max_head, true};
  }
  const std::size_t head_end = blank + 4;
  const std::string_view head = bytes.substr(0, head_end);
  const std::string_view method = head.substr(0, head.find(' '));
  const bool body_is_read = method == "POST" || method == "PUT" || method == "PATCH";
  const BodyHeaders headers = body_headers(head.substr(0, blank + 2));
  if (!headers.content_length && !headers.transfer_encoding) return {head_end, false};
  if (!body_is_read) return {head_end, true};
  RequestExtent extent;
  if (headers.transfer_encoding) {
    if (!same_name(*headers.transfer_encoding, "chunked")) return {head_end, true};
    extent = chunked_extent(bytes, head_end, max_body);
  } else {
    const auto length = decimal(*headers.content_length);
    if (!length || headers.content_length_twice || *length > max_body) return {head_end, true};
    if (bytes.size() - head_end < *length) return {};
    extent = {head_end + *length, false};
  }
  // A chunked body is bounded by its data, and its framing by another head's worth.
  if (extent.length == 0 && bytes.size() > 2 * max_head + max_body) return {bytes.size(), true};
  return extent;
}

}  // namespace velmora::daemon
