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

}  // namespace

RequestExtent RequestFraming::extent(std::string_view bytes) {
  const RequestExtent found = frame(bytes);
  if (found.length > 0) {  // the next call frames the request after it
    stage_ = Stage::kHead;
    searched_ = head_end_ = at_ = chunk_ = body_ = 0;
  }
  return found;
}

RequestExtent RequestFraming::frame(std::string_view bytes) {
  if (stage_ == Stage::kHead) {
    const std::size_t blank = find(bytes, "\r\n\r\n", 0, std::min(bytes.size(), max_head_));
    if (blank == std::string_view::npos) {
      if (bytes.size() < max_head_) return {};
      return {max_head_, true};
    }
    head_end_ = blank + 4;
    const RequestExtent decided = after_head(bytes);
    if (stage_ == Stage::kHead) return decided;
  }
  if (stage_ == Stage::kLength) {
    if (bytes.size() - head_end_ < body_) return {};
    return {head_end_ + body_, false};
  }
  const RequestExtent extent = chunks(bytes);
  // A chunked body is bounded by its data, and its framing by another head's worth.
  if (extent.length == 0 && bytes.size() > 2 * max_head_ + max_body_) return {bytes.size(), true};
  return extent;
}

// Reads the head once: a request that ends with it, or the stage its body is framed in.
RequestExtent RequestFraming::after_head(std::string_view bytes) {
  const std::string_view head = bytes.substr(0, head_end_);
  scanned_ += head.size();
  const std::string_view method = head.substr(0, head.find(' '));
  const bool body_is_read = method == "POST" || method == "PUT" || method == "PATCH";
  const BodyHeaders headers = body_headers(head.substr(0, head_end_ - 2));
  if (!headers.content_length && !headers.transfer_encoding) return {head_end_, false};
  if (!body_is_read) return {head_end_, true};
  if (headers.transfer_encoding) {
    if (!same_name(*headers.transfer_encoding, "chunked")) return {head_end_, true};
    stage_ = Stage::kChunkSize;
    at_ = head_end_;
    return {};
  }
  const auto length = decimal(*headers.content_length);
  if (!length || headers.content_length_twice || *length > max_body_) return {head_end_, true};
  stage_ = Stage::kLength;
  body_ = *length;
  return {};
}

// The end of a chunked body, from where the last call stopped.
RequestExtent RequestFraming::chunks(std::string_view bytes) {
  const RequestExtent refused{bytes.size(), true};
  for (;;) {
    switch (stage_) {
      case Stage::kChunkSize: {
        const std::size_t line_end = find(bytes, kLineEnd, at_, bytes.size());
        if (line_end == std::string_view::npos)
          return bytes.size() - at_ > kMaxChunkSizeLine ? refused : RequestExtent{};
        const std::string_view line = bytes.substr(at_, line_end - at_);
        scanned_ += line.size();
        const auto size = chunk_size(line);
        if (!size) return refused;
        at_ = line_end + kLineEnd.size();
        if (*size == 0) {  // then trailer lines, up to a blank one
          stage_ = Stage::kTrailer;
          break;
        }
        body_ += *size;
        if (body_ > max_body_) return refused;
        chunk_ = *size;
        stage_ = Stage::kChunkData;
        break;
      }
      case Stage::kChunkData:
        if (bytes.size() - at_ < chunk_ + kLineEnd.size()) return {};
        scanned_ += kLineEnd.size();
        if (bytes.substr(at_ + chunk_, kLineEnd.size()) != kLineEnd) return refused;
        at_ += chunk_ + kLineEnd.size();
        stage_ = Stage::kChunkSize;
        break;
      default: {  // Stage::kTrailer
        const std::size_t end = find(bytes, kLineEnd, at_, bytes.size());
        if (end == std::string_view::npos) return {};
        if (end == at_) return {end + kLineEnd.size(), false};
        at_ = end + kLineEnd.size();
      }
    }
  }
}

// The first sought in bytes from from up to end, resuming where the last search for it stopped.
std::size_t RequestFraming::find(std::string_view bytes, std::string_view sought,
                                 std::size_t from, std::size_t end) {
  // A match may begin within the last bytes searched.
  const std::size_t resumed = searched_ >= sought.size() ? searched_ - sought.size() + 1 : 0;
  const std::size_t start = std::max(from, resumed);
  if (start >= end) return std::string_view::npos;
  const std::size_t found = bytes.substr(0, end).find(sought, start);
  if (found == std::string_view::npos) {
    scanned_ += end - start;
    searched_ = end;
    return found;
  }
  scanned_ += found + sought.size() - start;
  searched_ = 0;
  return found;
}

}  // namespace velmora::daemon
