#pragma once
// JSON text in pure ASCII with one blank after each comma and colon: the form of package labels
// and of the id lists inside group requests. Every character beyond ASCII (and U+007F) is written
// \uXXXX in lower-case hexadecimal, one beyond the basic plane as a surrogate pair; the solidus is
// not escaped. Pure function: safe from any thread.

#include <string>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

// Throws ValueError for text that is not UTF-8, a float that is infinite or not a number, and a
// binary value: none of them has a JSON form.
std::string ascii_json_text(const Value& value);

}  // namespace velmora::utils
