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

const PrintableTable& PrintableTable::get() {
  static const PrintableTable table;
  return table;
}

PrintableTable::PrintableTable() noexcept {
  bits_.fill(~std::uint64_t{0});
  for (const CodePointRange& range : kNotPrintableRanges) {
    for (char32_t cp = range.first; cp <= range.last && cp <= 0xFFFF; ++cp)
      bits_[cp >> 6] &= ~(std::uint64_t{1} << (cp & 63));
  }
}

}  // namespace velmora::utils
