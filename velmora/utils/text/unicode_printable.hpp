#pragma once
// The "printable" rule of literal text: a code point is printable unless its Unicode 11.0 general
// category is Cc, Cf, Cs, Co, Cn, Zl, Zp or Zs; the blank U+0020 is printable.

#include <array>
#include <cstdint>
#include <span>

namespace velmora::utils {

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

// The code points that are not printable: sorted, disjoint, not adjacent. Generated from the
// Unicode 11.0 database by tools/make_printable_table.mjs.
extern const std::span<const CodePointRange> kNotPrintableRanges;

// By a search of kNotPrintableRanges.
bool is_printable(char32_t cp) noexcept;

// The same rule in constant time for the Basic Multilingual Plane: one bit a code point (8 KB),
// made on first use; code points above U+FFFF are searched. Read-only once made: any thread may
// use it.
class PrintableTable {
 public:
  static const PrintableTable& get();

  bool operator()(char32_t cp) const noexcept {
    return cp <= 0xFFFF ? (bits_[cp >> 6] >> (cp & 63)) & 1 : is_printable(cp);
  }

 private:
  PrintableTable() noexcept;
  std::array<std::uint64_t, 0x10000 / 64> bits_{};
};

}  // namespace velmora::utils
