#pragma once
// The "printable" rule of literal text: a code point is printable unless its Unicode 11.0 general
// category is Cc, Cf, Cs, Co, Cn, Zl, Zp or Zs; the blank U+0020 is printable.

#include <span>

namespace velmora::utils {

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

// The code points that are not printable: sorted, disjoint, not adjacent. Generated from the
// Unicode 11.0 database by tools/make_printable_table.mjs.
extern const std::span<const CodePointRange> kNotPrintableRanges;

bool is_printable(char32_t cp) noexcept;

}  // namespace velmora::utils
