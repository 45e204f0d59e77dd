#pragma once
// Octet strings, kept apart from text, and the Latin-1 mapping between the two.

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace velmora::utils {

// A byte string. It never converts to or from text implicitly: text goes through b2s / s2b.
struct Bytes {
  std::string data;  // raw octets; std::string is only the storage

  Bytes() = default;
  explicit Bytes(std::string raw) : data(std::move(raw)) {}
  explicit Bytes(std::string_view raw) : data(raw) {}
  explicit Bytes(const char*) = delete;  // a literal is text; say Bytes(std::string_view(...)) if meant

  std::string_view view() const noexcept { return data; }
  const unsigned char* bytes() const noexcept {
    return reinterpret_cast<const unsigned char*>(data.data());
  }
  std::size_t size() const noexcept { return data.size(); }
  bool empty() const noexcept { return data.empty(); }

  friend bool operator==(const Bytes&, const Bytes&) = default;
  friend auto operator<=>(const Bytes&, const Bytes&) = default;
};

// Text of the bytes: byte n becomes code point U+00nn, written as UTF-8.
std::string b2s(const Bytes& bytes);

// Inverse of b2s. Throws ValueError for text that is not UTF-8 or holds a code point above U+00FF.
Bytes s2b(std::string_view text);

}  // namespace velmora::utils

template <>
struct std::hash<velmora::utils::Bytes> {
  std::size_t operator()(const velmora::utils::Bytes& b) const noexcept {
    return std::hash<std::string>{}(b.data);
  }
};
