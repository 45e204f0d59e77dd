#include "velmora/utils/text/json_writer.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils {
namespace {

// Bytes that a JSON string holds as they are: printable ASCII but '"' and '\\'.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

// Whether any of the eight bytes of word is not plain (a control byte, '"', '\\' or a byte of a
// multi-byte sequence). May say so wrongly only when some byte really is not plain.
bool any_not_plain(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return (((word - kOnes * 0x20) & ~word) | ((quote - kOnes) & ~quote) |
          ((backslash - kOnes) & ~backslash) | word) &
         kHigh;
}

// How many bytes from pos on are plain, eight at a time where it can.
std::size_t plain_run(std::string_view text, std::size_t pos) {
  const std::size_t start = pos;
  for (; text.size() - pos >= 8; pos += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + pos, 8);
    if (any_not_plain(word)) break;
  }
  while (pos < text.size() && kPlain[static_cast<unsigned char>(text[pos])]) ++pos;
  return pos - start;
}

bool holds_bytes(const Value& value) {
  if (value.is_binary()) return true;
  if (value.is_structured())
    for (const Value& item : value)
      if (holds_bytes(item)) return true;
  return false;
}

}  // namespace

JsonWriter::JsonWriter(Drain drain, std::size_t chunk_bytes)
    : drain_(std::move(drain)), buffer_(chunk_bytes, '\0') {}

void JsonWriter::flush() {
  if (used_ == 0) return;
  drain_(std::string_view(buffer_.data(), used_));
  used_ = 0;
}

void JsonWriter::make_room(std::size_t bytes) {
  flush();
  if (bytes > buffer_.size()) buffer_.resize(bytes);
}

char* JsonWriter::separate(char* at) {
  if (after_key_) {
    after_key_ = false;
  } else if (!empty_.empty()) {
    if (empty_.back()) {
      empty_.back() = false;
    } else {
      *at++ = ',';
    }
  }
  return at;
}

// Writes at most 6 * text.size() + 2 bytes.
char* JsonWriter::quoted(char* at, std::string_view text) {
  *at++ = '"';
  std::size_t pos = 0;
  for (;;) {
    const std::size_t run = plain_run(text, pos);
    std::memcpy(at, text.data() + pos, run);
    at += run;
    pos += run;
    if (pos == text.size()) break;
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c >= 0x80) {
      const std::size_t start = pos;
      if (decode_utf8(text, pos) == kInvalidCodePoint)
        throw ValueError("a text is not valid UTF-8 at byte " + std::to_string(start));
      std::memcpy(at, text.data() + start, pos - start);
      at += pos - start;
      continue;
    }
    ++pos;
    *at++ = '\\';
    switch (c) {
      case '"': *at++ = '"'; break;
      case '\\': *at++ = '\\'; break;
      case '\b': *at++ = 'b'; break;
      case '\f': *at++ = 'f'; break;
      case '\n': *at++ = 'n'; break;
      case '\r': *at++ = 'r'; break;
      case '\t': *at++ = 't'; break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        std::memcpy(at, "u00", 3);
        at[3] = kHex[c >> 4];
        at[4] = kHex[c & 0xF];
        at += 5;
      }
    }
  }
  *at++ = '"';
  return at;
}

void JsonWriter::text(std::string_view text) {
  char* at = separate(room(6 * text.size() + 3));
  used_ = quoted(at, text) - buffer_.data();
}

void JsonWriter::value(const Value& value) {
  if (holds_bytes(value)) throw ValueError("bytes inside a dynamic value cannot be written");
  std::string text;
  try {
    text = value.dump();
  } catch (const Value::exception& e) {
    throw ValueError(std::string("a text is not valid UTF-8 (") + e.what() + ")");
  }
  json(text);
}

void JsonWriter::json(std::string_view json) {
  char* at = separate(room(json.size() + 1));
  std::memcpy(at, json.data(), json.size());
  used_ = at + json.size() - buffer_.data();
}

void JsonWriter::begin_list() {
  char* at = separate(room(2));
  *at++ = '[';
  used_ = at - buffer_.data();
  empty_.push_back(true);
}

void JsonWriter::end_list() {
  *room(1) = ']';
  ++used_;
  empty_.pop_back();
}

void JsonWriter::begin_mapping() {
  char* at = separate(room(2));
  *at++ = '{';
  used_ = at - buffer_.data();
  empty_.push_back(true);
}

void JsonWriter::key(std::string_view key) {
  char* at = quoted(separate(room(6 * key.size() + 4)), key);
  *at++ = ':';
  used_ = at - buffer_.data();
  after_key_ = true;
}

void JsonWriter::end_mapping() {
  *room(1) = '}';
  ++used_;
  empty_.pop_back();
}

}  // namespace velmora::utils
