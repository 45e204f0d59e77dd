#pragma once
// Reads JSON text from outside into a document of the reader's own, whose buffers it keeps from
// one text to the next: a large answer read again and again (the device list, every second)
// lands in memory already mapped rather than in fresh pages faulted in one by one. For callers
// that walk a large document without turning it whole into a Value; parse_json is the plain way.
//
// One thread at a time uses a reader. An element stays valid until the next read, and while the
// text read stays unchanged.

#include <simdjson.h>

#include <string>
#include <string_view>

#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::utils {

class JsonReader {
 public:
  // The root element of text. text may gain spare capacity, which the parser reads past its end
  // without heeding it. Throws ValueError for malformed text, a NUL byte anywhere, or nesting
  // deeper than kMaxJsonDepth, with parse_json's texts.
  simdjson::dom::element read(std::string& text);

 private:
  simdjson::dom::parser parser_;
  bool allocated_ = false;
};

// The Value of an element: a mapping keeps its first order, and a key given twice keeps its first
// place and takes its last value.
Value value_of(simdjson::dom::element element);

// The name of the element's type, as type_name names a Value's: "dict", "list", "str", "int",
// "float", "bool" or "NoneType".
std::string_view type_name(simdjson::dom::element element) noexcept;

// Puts the last member key of object, the one that a mapping read whole keeps, in found; false
// when there is none.
bool last_member(simdjson::dom::object object, std::string_view key,
                 simdjson::dom::element& found);

}  // namespace velmora::utils
