// libFuzzer target of parse_json, against the JSON library's own parser: an input within the
// depth limit, without NUL bytes and without integers beyond 64 bits (which the library turns into
// floats) must give the same value as the library's parser, or be refused by both; any other input
// is refused with ValueError. Anything else aborts, and libFuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <charconv>
#include <string_view>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace {

// The deepest nesting of brackets outside texts, and whether an integer beyond 64 bits stands there.
struct Shape {
  int deepest = 0;
  bool wide_integer = false;
};

Shape shape_of(std::string_view text) {
  Shape shape;
  int depth = 0;
  bool in_text = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_text) {
      if (c == '\\') ++i;
      else if (c == '"') in_text = false;
    } else if (c == '"') {
      in_text = true;
    } else if (c == '[' || c == '{') {
      shape.deepest = std::max(shape.deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      const std::size_t end = text.find_first_not_of("-+0123456789.eE", i);
      const std::string_view number = text.substr(i, end - i);
      if (number.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t signed_value;
        std::uint64_t unsigned_value;
        const char* last = number.data() + number.size();
        const auto out_of_range = std::errc::result_out_of_range;
        shape.wide_integer |=
            std::from_chars(number.data(), last, signed_value).ec == out_of_range &&
            (number.starts_with('-') ||
             std::from_chars(number.data(), last, unsigned_value).ec == out_of_range);
      }
      i += number.size() - 1;
    }
  }
  return shape;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::utils;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Value ours;
  bool refused = false;
  try {
    ours = parse_json(text);
  } catch (const ValueError&) {
    refused = true;
  }
  if (text.find('\0') != std::string_view::npos) {
    if (!refused) std::abort();
    return 0;
  }
  // The library's parser, its depth unbounded: fine within libFuzzer's input sizes.
  const Value theirs = Value::parse(text.begin(), text.end(), nullptr, false);
  if (theirs.is_discarded()) {
    if (!refused) std::abort();
  } else if (refused) {
    const Shape shape = shape_of(text);
    if (shape.deepest <= kMaxJsonDepth && !shape.wide_integer) std::abort();
  } else if (ours != theirs || ours.dump() != theirs.dump()) {
    std::abort();
  }
  return 0;
}
