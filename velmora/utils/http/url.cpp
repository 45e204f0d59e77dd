#include "velmora/utils/http/url.hpp"

#include <optional>

namespace velmora::utils {
namespace {

// The five components of a URI reference (RFC 3986 appendix B); absent ones are nullopt.
struct UriParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
  std::optional<std::string_view> fragment;
};

UriParts split(std::string_view uri) {
  UriParts parts;
  if (auto hash = uri.find('#'); hash != std::string_view::npos) {
    parts.fragment = uri.substr(hash + 1);
    uri = uri.substr(0, hash);
  }
  if (auto question = uri.find('?'); question != std::string_view::npos) {
    parts.query = uri.substr(question + 1);
    uri = uri.substr(0, question);
  }
  if (auto colon = uri.find(':'); colon != std::string_view::npos && colon > 0 &&
                                  uri.substr(0, colon).find('/') == std::string_view::npos) {
    parts.scheme = uri.substr(0, colon);
    uri = uri.substr(colon + 1);
  }
  if (uri.starts_with("//")) {
    uri = uri.substr(2);
    const auto slash = uri.find('/');
    parts.authority = uri.substr(0, slash);
    uri = slash == std::string_view::npos ? std::string_view() : uri.substr(slash);
  }
  parts.path = uri;
  return parts;
}

// RFC 3986 section 5.2.4.
std::string remove_dot_segments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.starts_with("../")) {
      input.remove_prefix(3);
    } else if (input.starts_with("./")) {
      input.remove_prefix(2);
    } else if (input.starts_with("/./")) {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.starts_with("/../") || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      const auto last = output.rfind('/');
      output.erase(last == std::string::npos ? 0 : last);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      const auto next = input.find('/', input.starts_with('/') ? 1 : 0);
      output += input.substr(0, next);
      input = next == std::string_view::npos ? std::string_view() : input.substr(next);
    }
  }
  return output;
}

// RFC 3986 section 5.2.3.
std::string merge(const UriParts& base, std::string_view ref_path) {
  std::string merged;
  if (base.authority && base.path.empty()) {
    merged = "/";
  } else if (const auto last = base.path.rfind('/'); last != std::string_view::npos) {
    merged = base.path.substr(0, last + 1);
  }
  merged += ref_path;
  return merged;
}

std::string recompose(std::optional<std::string_view> scheme,
                      std::optional<std::string_view> authority, std::string_view path,
                      std::optional<std::string_view> query,
                      std::optional<std::string_view> fragment) {
  std::string out;
  if (scheme) (out += *scheme) += ':';
  if (authority) (out += "//") += *authority;
  out += path;
  if (query) (out += '?') += *query;
  if (fragment) (out += '#') += *fragment;
  return out;
}

}  // namespace

std::string url_join(std::string_view base_text, std::string_view ref_text) {
  const UriParts base = split(base_text);
  const UriParts ref = split(ref_text);
  if (ref.scheme) {
    return recompose(ref.scheme, ref.authority, remove_dot_segments(ref.path), ref.query,
                     ref.fragment);
  }
  if (ref.authority) {
    return recompose(base.scheme, ref.authority, remove_dot_segments(ref.path), ref.query,
                     ref.fragment);
  }
  if (ref.path.empty()) {
    return recompose(base.scheme, base.authority, base.path, ref.query ? ref.query : base.query,
                     ref.fragment);
  }
  const std::string path = ref.path.starts_with('/') ? remove_dot_segments(ref.path)
                                                     : remove_dot_segments(merge(base, ref.path));
  return recompose(base.scheme, base.authority, path, ref.query, ref.fragment);
}

std::string url_for_display(std::string_view url) {
  const UriParts parts = split(url);
  std::optional<std::string_view> host = parts.authority;
  if (host) host = host->substr(host->rfind('@') + 1);  // npos + 1 == 0: no user information
  return recompose(parts.scheme, host, parts.path, std::nullopt, std::nullopt);
}

std::string percent_encode(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                            (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' ||
                            c == '~';
    if (unreserved || keep.find(c) != std::string_view::npos) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    }
  }
  return out;
}

}  // namespace velmora::utils
