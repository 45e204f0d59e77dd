#pragma once
// Reads literal text (literal_text.hpp) back into the value it shows. It evaluates nothing and is
// fed text from the network, so it refuses everything but well-formed literals, runs in time
// linear in the input and on a bounded stack. Safe from any thread.

#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

// Mappings and lists deeper than this are refused.
inline constexpr int kMaxLiteralDepth = 100;

// The value of one literal: mappings (text keys only; a repeated key keeps its first place and
// takes the last value), lists, texts in ' or " with the escapes \\ \' \" \a \b \f \n \r \t \v
// \xhh \uhhhh \Uhhhhhhhh \ooo and backslash-newline, decimal integers and floats with an optional
// sign, True, False and None; blanks, tabs and line breaks between the parts, a trailing comma
// inside brackets. An integer that fits in 64 bits becomes a signed integer, one up to 2^64 - 1 an
// unsigned one.
//
// Throws ValueError naming the byte offset for anything else: names (inf and nan among them),
// calls, operators other than a number's sign, tuples, sets, prefixed texts (b'', r''), non-text
// keys, unknown or \N{} escapes, a surrogate or invalid UTF-8 in a text, an integer beyond 64 bits,
// a float beyond the double range, nesting deeper than kMaxLiteralDepth.
Value parse_literal(std::string_view text);

}  // namespace velmora::utils
