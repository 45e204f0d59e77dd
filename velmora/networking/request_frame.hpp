#pragma once
// The plain decisions of a signed backend request: the order of the signed members, the request
// trace, and how an answer's "code" counts. Pure functions: safe from any thread.

#include <string>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::networking {

using utils::Value;

// A new mapping of data's members in ascending key order (code point order, which is UTF-8 byte
// order); nested mappings keep their own order. TypeError when data is not a mapping.
Value sorted_members(const Value& data);

// The trace of one exchange: five lines, each indented by four blanks and ended by a line feed,
// giving the URL, the literal text of the signed payload and of the headers, the answer's status
// and its body verbatim.
std::string request_trace(std::string_view url, const Value& payload, const Value& headers,
                          long status, std::string_view body);

// Whether an answer's "code" counts as zero: a number equal to zero, or false. The text "0" and
// null do not.
bool code_counts_as_zero(const Value& code) noexcept;

// The text member key of an answer mapping: KeyError when it is missing, TypeError when it is no
// text.
const std::string& text_member(const Value& answer, const char* key);

}  // namespace velmora::networking
