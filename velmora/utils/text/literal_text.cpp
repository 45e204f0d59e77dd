#include "velmora/utils/text/literal_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "velmora/utils/text/unicode_printable.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils {
namespace {

// ASCII bytes that stand for themselves between quotes of either kind.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x7F; ++c) plain[c] = c != '\'' && c != '\\';
  return plain;
}();

// The quote character: ' unless the text holds a ' and no ".
char quote_for(std::string_view text) {
  const bool single = text.find('\'') != std::string_view::npos;
  return single && text.find('"') == std::string_view::npos ? '"' : '\'';
}

// A backslash, kind (x, u or U) and digits lower-case hexadecimal digits of code.
void append_hex_escape(std::string& out, char kind, std::uint32_t code, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  char escape[10] = {'\\', kind};
  for (int i = 0; i < digits; ++i) escape[2 + i] = kHex[(code >> (4 * (digits - 1 - i))) & 0xF];
  out.append(escape, 2 + static_cast<std::size_t>(digits));
}

// An ASCII character that is not plain, between quotes of kind quote.
void append_ascii_escape(std::string& out, unsigned char c, char quote) {
  switch (c) {
    case '\\': out += "\\\\"; return;
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\'':
      if (quote == '\'') out.push_back('\\');
      out.push_back('\'');
      return;
    default: append_hex_escape(out, 'x', c, 2);  // other controls and U+007F
  }
}

// Printable characters are appended in whole runs; only an escape interrupts a run.
void append_text(std::string& out, std::string_view text) {
  const PrintableTable& printable = PrintableTable::get();
  const char quote = quote_for(text);
  out.push_back(quote);
  std::size_t run = 0;  // where the printable run not yet appended starts
  std::size_t pos = 0;
  for (;;) {
    while (pos < text.size() && kPlain[static_cast<unsigned char>(text[pos])]) ++pos;
    if (pos == text.size()) break;
    const auto lead = static_cast<unsigned char>(text[pos]);
    const std::size_t start = pos;
    const char32_t cp = decode_utf8(text, pos);
    if (cp >= 0x80 && cp != kInvalidCodePoint && printable(cp)) continue;
    out.append(text.substr(run, start - run));
    run = pos;
    if (cp < 0x80) {
      append_ascii_escape(out, lead, quote);
    } else if (cp == kInvalidCodePoint) {
      append_hex_escape(out, 'u', 0xDC00 | lead, 4);  // the surrogate of an undecodable byte
    } else if (cp <= 0xFF) {
      append_hex_escape(out, 'x', cp, 2);
    } else if (cp <= 0xFFFF) {
      append_hex_escape(out, 'u', cp, 4);
    } else {
      append_hex_escape(out, 'U', cp, 8);
    }
  }
  out.append(text.substr(run));
  out.push_back(quote);
}

void append_bytes(std::string& out, const Value::binary_t& bytes) {
  const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const char quote = quote_for(view);
  out.push_back('b');
  out.push_back(quote);
  for (const unsigned char c : view) {
    if (kPlain[c]) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x80) {
      append_ascii_escape(out, c, quote);
    } else {
      append_hex_escape(out, 'x', c, 2);
    }
  }
  out.push_back(quote);
}

template <class Integer>
void append_integer(std::string& out, Integer number) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

// The shortest digits that read back to x, positional for decimal exponents -4 to 15, else
// d.ddde+XX.
void append_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "nan";
    return;
  }
  if (std::signbit(x)) out.push_back('-');
  x = std::fabs(x);
  if (std::isinf(x)) {
    out += "inf";
    return;
  }
  if (x == 0) {
    out += "0.0";
    return;
  }

  // to_chars gives the shortest round-trip digits, nearest first, as d[.ddd]e±XX.
  char buffer[32];
  const char* begin = buffer;
  const char* end =
      std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific).ptr;
  const char* e = std::find(begin, end, 'e');
  char digit_buffer[20];
  std::size_t count = 0;
  for (const char* p = begin; p != e; ++p)
    if (*p != '.') digit_buffer[count++] = *p;
  const std::string_view digits(digit_buffer, count);
  int exponent = 0;
  std::from_chars(e[1] == '+' ? e + 2 : e + 1, end, exponent);

  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
      return;
    }
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (whole >= count) {
      out += digits;
      out.append(whole - count, '0');
      out += ".0";
    } else {
      out += digits.substr(0, whole);
      out.push_back('.');
      out += digits.substr(whole);
    }
    return;
  }
  out.push_back(digits[0]);
  if (count > 1) {
    out.push_back('.');
    out += digits.substr(1);
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  if (std::abs(exponent) < 10) out.push_back('0');
  append_integer(out, std::abs(exponent));
}

// Any value but a non-empty mapping or list.
void append_leaf(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::object: out += "{}"; return;
    case Value::value_t::array: out += "[]"; return;
    case Value::value_t::string: append_text(out, value.get_ref<const std::string&>()); return;
    case Value::value_t::boolean: out += value.get<bool>() ? "True" : "False"; return;
    case Value::value_t::number_integer: append_integer(out, value.get<std::int64_t>()); return;
    case Value::value_t::number_unsigned: append_integer(out, value.get<std::uint64_t>()); return;
    case Value::value_t::number_float: append_float(out, value.get<double>()); return;
    case Value::value_t::binary: append_bytes(out, value.get_binary()); return;
    case Value::value_t::null:
    case Value::value_t::discarded: out += "None"; return;
  }
}

}  // namespace

void append_literal_text(std::string& out, const Value& value) {
  // The containers being written, innermost last; a stack of our own, so that a value from the
  // network nested a million deep cannot overflow the thread's stack.
  struct Open {
    Value::const_iterator next;
    Value::const_iterator end;
    bool mapping;
    bool started;  // an item was written, so the next one needs ", "
  };
  std::vector<Open> open;

  const Value* item = &value;
  for (;;) {
    if (item->is_structured() && !item->empty()) {
      out.push_back(item->is_object() ? '{' : '[');
      open.push_back({item->cbegin(), item->cend(), item->is_object(), false});
    } else {
      append_leaf(out, *item);
    }

    // On to the next item of the innermost container that has one, closing those that are done.
    for (;;) {
      if (open.empty()) return;
      Open& top = open.back();
      if (top.next == top.end) {
        out.push_back(top.mapping ? '}' : ']');
        open.pop_back();
        continue;
      }
      if (top.started) out += ", ";
      top.started = true;
      if (top.mapping) {
        append_text(out, top.next.key());
        out += ": ";
      }
      item = &*top.next;
      ++top.next;
      break;
    }
  }
}

std::string literal_text(const Value& value) {
  std::string out;
  append_literal_text(out, value);
  return out;
}

std::string display_text(const Value& value) {
  return value.is_string() ? value.get<std::string>() : literal_text(value);
}

}  // namespace velmora::utils
