#include "velmora/utils/text/json_parse.hpp"

#include <string>
#include <utility>
#include <vector>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

struct TooDeep {};

// Builds the value of the parser's events, refusing a container that kMaxJsonDepth containers
// enclose. A repeated key keeps its first place and takes the last value. Through the public
// event interface: a third faster than the parser's callback form, which copies every event.
class ValueBuilder final : public nlohmann::json_sax<Value> {
 public:
  explicit ValueBuilder(Value& root) : root_(root) {}

  bool null() override { return add(nullptr); }
  bool boolean(bool value) override { return add(value); }
  bool number_integer(number_integer_t value) override { return add(value); }
  bool number_unsigned(number_unsigned_t value) override { return add(value); }
  bool number_float(number_float_t value, const string_t&) override { return add(value); }
  bool string(string_t& value) override { return add(std::move(value)); }
  bool binary(binary_t& value) override { return add(Value::binary(std::move(value))); }
  bool start_object(std::size_t) override { return open(Value::object()); }
  bool key(string_t& key) override {
    member_ = &(*open_.back())[std::move(key)];
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const Value::exception& error) override {
    throw ValueError(std::string("malformed JSON text: ") + error.what());
  }

 private:
  // Places value where the text has it, and returns where it now lives.
  Value* place(Value value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Value& container = *open_.back();
    if (container.is_array()) {
      container.push_back(std::move(value));
      return &container.back();
    }
    *member_ = std::move(value);
    return member_;
  }
  bool add(Value value) {
    place(std::move(value));
    return true;
  }
  bool open(Value container) {
    if (open_.size() >= kMaxJsonDepth) throw TooDeep{};
    open_.push_back(place(std::move(container)));
    return true;
  }
  bool close() {
    open_.pop_back();
    return true;
  }

  Value& root_;
  std::vector<Value*> open_;  // the containers being filled, innermost last
  Value* member_ = nullptr;   // the object member that the last key named
};

}  // namespace

Value parse_json(std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    throw ValueError("JSON text holds a NUL byte at offset " + std::to_string(nul));
  }
  // The parser itself is iterative; the depth limit keeps the recursive copies and dumps of the
  // value that follow on a bounded stack.
  Value root;
  ValueBuilder builder(root);
  try {
    Value::sax_parse(text.begin(), text.end(), &builder);
  } catch (const TooDeep&) {
    throw ValueError("JSON text nested deeper than " + std::to_string(kMaxJsonDepth));
  } catch (const Value::exception& error) {
    throw ValueError(std::string("malformed JSON text: ") + error.what());
  }
  return root;
}

}  // namespace velmora::utils
