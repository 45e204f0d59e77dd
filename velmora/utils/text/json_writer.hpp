#pragma once
// Writes JSON text one value at a time and places the commas itself: the fast way to write a large
// store. Lists and mappings are opened and closed explicitly; a mapping takes key() before each
// member. The text goes to a drain in pieces of about chunk_bytes (64 KiB unless given). Throws
// ValueError for text that is not valid UTF-8 and for bytes inside a dynamic value. One writer
// serves one thread.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

class JsonWriter {
 public:
  using Drain = std::function<void(std::string_view text)>;

  explicit JsonWriter(Drain drain, std::size_t chunk_bytes = std::size_t{1} << 16);

  // Hands what is still buffered to the drain.
  void flush();

  void text(std::string_view text);
  void value(const Value& value);  // any dynamic value, as compact JSON
  // A value already written as JSON text (by a writer, kept since), copied as it is: the caller
  // vouches that it is one whole JSON value.
  void json(std::string_view json);

  void begin_list();
  void end_list();
  void begin_mapping();
  void key(std::string_view key);
  void end_mapping();

 private:
  // Where to write up to that many more bytes.
  char* room(std::size_t bytes) {
    if (used_ + bytes > buffer_.size()) make_room(bytes);
    return buffer_.data() + used_;
  }
  void make_room(std::size_t bytes);
  char* separate(char* at);       // writes the comma before a value, when one is due
  char* quoted(char* at, std::string_view text);

  const Drain drain_;
  std::string buffer_;        // buffer_[0, used_) is written but not yet drained
  std::size_t used_ = 0;
  std::vector<char> empty_;   // per open list or mapping: nothing written into it yet
  bool after_key_ = false;    // a key was written and its value is next
};

}  // namespace velmora::utils
