#include "velmora/utils/text/unicode_printable.hpp"

#include <algorithm>

namespace velmora::utils {

bool is_printable(char32_t cp) noexcept {
  // The first range that ends at or after cp is the only one that may hold it.
  const auto range = std::lower_bound(
      kNotPrintableRanges.begin(), kNotPrintableRanges.end(), cp,
      [](const CodePointRange& r, char32_t c) { return r.last < c; });
  return range == kNotPrintableRanges.end() || cp < range->first;
}

}  // namespace velmora::utils
