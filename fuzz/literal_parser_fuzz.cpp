// libFuzzer target of the literal parser. Any input may be refused with ValueError, and nothing
// else may happen to it; a value it accepts must write back to literal text that reads back to
// the same value and the same text. Anything else aborts, and libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_parser.hpp"
#include "velmora/utils/text/literal_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::utils;
  Value value;
  try {
    value = parse_literal(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const ValueError&) {
    return 0;
  }
  const std::string text = literal_text(value);
  const Value again = parse_literal(text);
  if (again != value || literal_text(again) != text) std::abort();
  return 0;
}
