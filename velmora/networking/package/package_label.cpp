#include "velmora/networking/package/package_label.hpp"

#include <charconv>
#include <cstdint>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::networking::package {
namespace {

using utils::Value;

struct WideEncoding {
  std::size_t unit;  // 2 or 4 bytes
  bool big_endian;
  std::size_t bom;   // bytes of byte-order mark to skip
};

bool starts_with(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

// The encoding of JSON bytes as their first bytes show it; none for UTF-8. A text in ASCII
// starts with an ASCII character, so its zero bytes tell UTF-16 and UTF-32 and their byte order.
std::optional<WideEncoding> wide_encoding(std::string_view b) {
  using namespace std::string_view_literals;
  if (starts_with(b, "\xFF\xFE\0\0"sv)) return WideEncoding{4, false, 4};
  if (starts_with(b, "\0\0\xFE\xFF"sv)) return WideEncoding{4, true, 4};
  if (starts_with(b, "\xFF\xFE"sv)) return WideEncoding{2, false, 2};
  if (starts_with(b, "\xFE\xFF"sv)) return WideEncoding{2, true, 2};
  if (b.size() >= 4) {
    if (b[0] == 0) return b[1] ? WideEncoding{2, true, 0} : WideEncoding{4, true, 0};
    if (b[1] == 0) return b[2] || b[3] ? WideEncoding{2, false, 0} : WideEncoding{4, false, 0};
  } else if (b.size() == 2) {
    if (b[0] == 0) return WideEncoding{2, true, 0};
    if (b[1] == 0) return WideEncoding{2, false, 0};
  }
  return std::nullopt;
}

std::uint32_t unit_at(std::string_view bytes, std::size_t at, const WideEncoding& encoding) {
  std::uint32_t unit = 0;
  for (std::size_t i = 0; i < encoding.unit; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[at + i]);
    unit |= static_cast<std::uint32_t>(byte)
            << (8 * (encoding.big_endian ? encoding.unit - 1 - i : i));
  }
  return unit;
}

std::string utf8_of_wide(std::string_view bytes, const WideEncoding& encoding) {
  bytes.remove_prefix(encoding.bom);
  const auto fail = [&](const char* what) -> std::string {
    throw utils::ValueError(std::string("label is not valid UTF-") +
                            (encoding.unit == 2 ? "16" : "32") + ": " + what);
  };
  if (bytes.size() % encoding.unit != 0) return fail("truncated");
  std::string text;
  text.reserve(bytes.size() / encoding.unit);
  for (std::size_t at = 0; at < bytes.size(); at += encoding.unit) {
    std::uint32_t cp = unit_at(bytes, at, encoding);
    if (encoding.unit == 2 && cp >= 0xD800 && cp <= 0xDBFF && at + 2 < bytes.size()) {
      const std::uint32_t low = unit_at(bytes, at + 2, encoding);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        at += 2;
      }
    }
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return fail("no code point");
    utils::append_utf8(text, static_cast<char32_t>(cp));
  }
  return text;
}

}  // namespace

Value make_label(const std::string& origin, const std::optional<std::string>& dest,
                 const std::optional<std::string>& subject, const std::string& sent_time,
                 const Value& labels) {
  Value label = {{"origin", origin},
                 {"dest", dest ? Value(*dest) : Value(nullptr)},
                 {"subject", subject ? Value(*subject) : Value(nullptr)},
                 {"sent_time", sent_time}};
  for (const auto& [key, value] : labels.items()) label[key] = value;
  return label;
}

std::string sent_time_text(double seconds) {
  char digits[400];  // the longest fixed form of a double, with room to spare
  const auto result = std::to_chars(digits, digits + sizeof digits, seconds,
                                    std::chars_format::fixed);
  std::string text(digits, result.ptr);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

Value read_label(std::string_view bytes) {
  if (const auto encoding = wide_encoding(bytes)) return utils::parse_json(utf8_of_wide(bytes, *encoding));
  return utils::parse_json(bytes);  // the parser skips a UTF-8 byte-order mark
}

}  // namespace velmora::networking::package
