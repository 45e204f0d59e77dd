#include "velmora/utils/text/literal_parser.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils {
namespace {

// ASCII bytes that stand for themselves inside a text of either quote kind.
constexpr std::array<bool, 256> kPlainInText = [] {
  std::array<bool, 256> plain{};
  for (int c = 1; c < 0x80; ++c)
    plain[c] = c != '\\' && c != '\'' && c != '"' && c != '\n' && c != '\r';
  return plain;
}();

// Mappings up to this size find a repeated key by looking through their members; larger ones
// through a KeyIndex (key -> member number), so a mapping is read in linear time.
constexpr std::size_t kLinearKeySearch = 16;
using KeyIndex = std::unordered_map<std::string, std::size_t>;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// r, u, b, f and their pairs, in either case: the prefixes of a quoted literal.
bool is_text_prefix(std::string_view name) {
  std::string lower;
  for (const char c : name) lower.push_back(static_cast<char>(c | 0x20));
  return lower == "r" || lower == "u" || lower == "b" || lower == "f" || lower == "br" ||
         lower == "rb" || lower == "fr" || lower == "rf";
}

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Value parse_all() {
    Value value = parse_value(0);
    skip_blanks();
    if (!at_end()) fail_found("expected the end of the literal");
    return value;
  }

 private:
  bool at_end() const { return pos_ == text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  bool consume(char c) {
    if (at_end() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  void skip_blanks() {
    while (!at_end() && is_blank(text_[pos_])) ++pos_;
  }

  [[noreturn]] void fail_at(std::size_t at, std::string_view what) const {
    throw ValueError("malformed literal at byte " + std::to_string(at) + ": " + std::string(what));
  }
  [[noreturn]] void fail(std::string_view what) const { fail_at(pos_, what); }
  // what, followed by what stands at the current position.
  [[noreturn]] void fail_found(std::string_view what) const {
    fail(std::string(what) + ", found " + describe_here());
  }

  // The character at the current position as its literal text, for error messages.
  std::string describe_here() const {
    if (at_end()) return "the end";
    std::size_t next = pos_;
    if (decode_utf8(text_, next) == kInvalidCodePoint) return "a byte that is not UTF-8";
    return literal_text(Value(std::string(text_.substr(pos_, next - pos_))));
  }

  // Any value, after optional blanks. depth: the number of containers around it.
  Value parse_value(int depth) {
    skip_blanks();
    if (at_end()) fail("expected a value, found the end");
    const char c = peek();
    if (c == '{' || c == '[') {
      if (depth == kMaxLiteralDepth)
        fail("nesting deeper than " + std::to_string(kMaxLiteralDepth) + " levels");
      return c == '{' ? parse_mapping(depth + 1) : parse_list(depth + 1);
    }
    if (c == '\'' || c == '"') return Value(parse_text());
    if (c == '-' || c == '+') {
      ++pos_;
      skip_blanks();
      if (!is_digit(peek()) && peek() != '.') fail_found("expected a number after the sign");
      return parse_number(c == '-');
    }
    if (is_digit(c) || c == '.') return parse_number(false);
    if (is_name_start(c)) return parse_name();
    if (c == '(') fail("tuples and parentheses are not read");
    fail_found("expected a value");
  }

  Value parse_list(int depth) {
    ++pos_;  // [
    Value list = Value::array();
    auto& items = list.get_ref<Value::array_t&>();
    skip_blanks();
    if (consume(']')) return list;
    for (;;) {
      items.push_back(parse_value(depth));
      skip_blanks();
      if (consume(']')) return list;
      if (!consume(',')) fail_found("expected ',' or ']'");
      skip_blanks();
      if (consume(']')) return list;
    }
  }

  Value parse_mapping(int depth) {
    ++pos_;  // {
    Value mapping = Value::object();
    auto& members = mapping.get_ref<Value::object_t&>();
    KeyIndex index;
    skip_blanks();
    if (consume('}')) return mapping;
    for (;;) {
      skip_blanks();
      if (peek() != '\'' && peek() != '"') fail_found("expected a text as mapping key");
      std::string key = parse_text();
      skip_blanks();
      if (!consume(':')) fail_found("expected ':' after a mapping key");
      Value value = parse_value(depth);
      add_member(members, index, std::move(key), std::move(value));
      skip_blanks();
      if (consume('}')) return mapping;
      if (!consume(',')) fail_found("expected ',' or '}'");
      skip_blanks();
      if (consume('}')) return mapping;
    }
  }

  // A repeated key keeps its first place and takes the new value, in constant time per member.
  static void add_member(Value::object_t& members, KeyIndex& index, std::string key, Value value) {
    if (index.empty() && members.size() < kLinearKeySearch) {
      for (auto& [existing, old] : members) {
        if (existing == key) {
          old = std::move(value);
          return;
        }
      }
    } else {
      if (index.empty()) {
        for (std::size_t i = 0; i < members.size(); ++i) index.emplace(members.begin()[i].first, i);
      }
      const auto [found, added] = index.try_emplace(key, members.size());
      if (!added) {
        members.begin()[found->second].second = std::move(value);
        return;
      }
    }
    members.emplace_back(std::move(key), std::move(value));
  }

  std::string parse_text() {
    const std::size_t start = pos_;
    const char quote = text_[pos_++];
    std::string out;
    for (;;) {
      std::size_t run_end = pos_;
      while (run_end < text_.size() && kPlainInText[static_cast<unsigned char>(text_[run_end])])
        ++run_end;
      out.append(text_.substr(pos_, run_end - pos_));
      pos_ = run_end;
      if (at_end()) fail_at(start, "text not closed");

      const char c = text_[pos_];
      if (c == quote) {
        ++pos_;
        return out;
      }
      if (c == '\'' || c == '"') {
        out.push_back(c);
        ++pos_;
      } else if (c == '\\') {
        parse_escape(out);
      } else if (c == '\n' || c == '\r') {
        fail_at(start, "text not closed before the end of the line");
      } else if (c == '\0') {
        fail("NUL byte in a text");
      } else {
        const std::size_t at = pos_;
        if (decode_utf8(text_, pos_) == kInvalidCodePoint) fail_at(at, "text is not valid UTF-8");
        out.append(text_.substr(at, pos_ - at));
      }
    }
  }

  // A backslash escape inside a text; appends what it stands for.
  void parse_escape(std::string& out) {
    const std::size_t at = pos_++;
    if (at_end()) fail_at(at, "text not closed");
    const char c = text_[pos_++];
    switch (c) {
      case '\\': out.push_back('\\'); return;
      case '\'': out.push_back('\''); return;
      case '"': out.push_back('"'); return;
      case 'a': out.push_back('\a'); return;
      case 'b': out.push_back('\b'); return;
      case 'f': out.push_back('\f'); return;
      case 'n': out.push_back('\n'); return;
      case 'r': out.push_back('\r'); return;
      case 't': out.push_back('\t'); return;
      case 'v': out.push_back('\v'); return;
      case '\n': return;  // the text goes on after the line break
      case '\r': consume('\n'); return;
      case 'x': return append_code_point(out, at, parse_hex(at, 2));
      case 'u': return append_code_point(out, at, parse_hex(at, 4));
      case 'U': return append_code_point(out, at, parse_hex(at, 8));
      case 'N': fail_at(at, "named escapes \\N{...} are not read");
      default: break;
    }
    if (c >= '0' && c <= '7') {
      char32_t cp = c - '0';
      for (int i = 1; i < 3 && peek() >= '0' && peek() <= '7'; ++i)
        cp = cp * 8 + static_cast<char32_t>(text_[pos_++] - '0');
      return append_code_point(out, at, cp);
    }
    --pos_;
    fail_at(at, "unknown escape: a backslash before " + describe_here());
  }

  char32_t parse_hex(std::size_t escape_at, int digits) {
    char32_t cp = 0;
    for (int i = 0; i < digits; ++i) {
      const int digit = hex_digit_value(peek());
      if (at_end() || digit < 0) {
        fail_at(escape_at, "truncated \\" + std::string(1, text_[escape_at + 1]) + " escape: " +
                               std::to_string(digits) + " hexadecimal digits expected");
      }
      cp = cp * 16 + static_cast<char32_t>(digit);
      ++pos_;
    }
    return cp;
  }

  void append_code_point(std::string& out, std::size_t escape_at, char32_t cp) {
    if (cp > 0x10FFFF) fail_at(escape_at, "escape beyond U+10FFFF");
    if (cp >= 0xD800 && cp <= 0xDFFF)
      fail_at(escape_at, "escape of a surrogate, which no text holds");
    append_utf8(out, cp);
  }

  // Decimal digits with an optional point and exponent; the sign is already read.
  Value parse_number(bool negative) {
    const std::size_t start = pos_;
    while (is_digit(peek())) ++pos_;
    const std::size_t whole_digits = pos_ - start;
    bool is_float = false;
    if (consume('.')) {
      is_float = true;
      const std::size_t fraction_start = pos_;
      while (is_digit(peek())) ++pos_;
      if (whole_digits == 0 && pos_ == fraction_start)
        fail_at(start, "expected a value, found '.'");
    }
    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!is_digit(peek())) fail_at(start, "malformed number: the exponent has no digits");
      while (is_digit(peek())) ++pos_;
    }
    if (is_name_char(peek())) fail_at(start, "malformed number");
    const std::string_view digits = text_.substr(start, pos_ - start);
    return is_float ? float_value(start, digits, negative) : integer_value(start, digits, negative);
  }

  Value integer_value(std::size_t start, std::string_view digits, bool negative) const {
    const std::size_t first_nonzero = digits.find_first_not_of('0');
    if (first_nonzero == std::string_view::npos) return Value(std::int64_t{0});
    if (first_nonzero > 0) fail_at(start, "leading zeros in an integer");

    std::uint64_t magnitude = 0;
    for (const char c : digits) {
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
        fail_at(start, "integer beyond the 64-bit range");
      magnitude = magnitude * 10 + digit;
    }
    constexpr auto kMaxSigned =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) return magnitude <= kMaxSigned ? Value(static_cast<std::int64_t>(magnitude))
                                                  : Value(magnitude);
    if (magnitude > kMaxSigned + 1) fail_at(start, "integer beyond the 64-bit range");
    return Value(static_cast<std::int64_t>(0 - magnitude));  // two's complement, 2^63 included
  }

  Value float_value(std::size_t start, std::string_view digits, bool negative) const {
    double x = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), x);
    // Out of range: beyond the largest double, or so small that it would round to zero.
    if (error == std::errc::result_out_of_range)
      fail_at(start, "float beyond the range of a double");
    if (error != std::errc() || end != digits.data() + digits.size())
      fail_at(start, "malformed number");
    return Value(negative ? -x : x);
  }

  // True, False or None; any other name is refused, since a literal evaluates nothing.
  Value parse_name() {
    const std::size_t start = pos_;
    while (is_name_char(peek())) ++pos_;
    const std::string_view name = text_.substr(start, pos_ - start);
    if (name == "True") return Value(true);
    if (name == "False") return Value(false);
    if (name == "None") return Value(nullptr);
    if ((peek() == '\'' || peek() == '"') && is_text_prefix(name))
      fail_at(start, "prefixed texts such as b'...' or r'...' are not read");
    fail_at(start, "the name " + literal_text(Value(std::string(name))) +
                       " is not a literal; names are not evaluated");
  }

  const std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

Value parse_literal(std::string_view text) { return Parser(text).parse_all(); }

}  // namespace velmora::utils
