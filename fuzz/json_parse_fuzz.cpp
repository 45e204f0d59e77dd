// libFuzzer target of parse_json, against the JSON library's own parser: an input within the
// depth limit and without NUL bytes must give the same value as the library's parser, or be
// refused by both; any other input is refused with ValueError. Anything else aborts, and
// libFuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

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
    int depth = 0;
    int deepest = 0;
    bool in_text = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (in_text) {
        if (c == '\\') ++i;
        else if (c == '"') in_text = false;
      } else if (c == '"') {
        in_text = true;
      } else if (c == '[' || c == '{') {
        deepest = std::max(deepest, ++depth);
      } else if (c == ']' || c == '}') {
        --depth;
      }
    }
    if (deepest <= kMaxJsonDepth) std::abort();
  } else if (ours != theirs || ours.dump() != theirs.dump()) {
    std::abort();
  }
  return 0;
}
