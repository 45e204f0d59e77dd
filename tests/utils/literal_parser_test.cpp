#include "velmora/utils/text/literal_parser.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/literal_text.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils {
namespace {

using ::testing::HasSubstr;

// Equal kinds, member order and float bits: Value's own == takes 1 == 1.0 and -0.0 == 0.0. Signed
// and unsigned storage are one kind, the integer.
bool same(const Value& a, const Value& b) {
  if (a.is_number_integer() && b.is_number_integer()) return a == b;
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::value_t::number_float:
      return std::bit_cast<std::uint64_t>(a.get<double>()) ==
             std::bit_cast<std::uint64_t>(b.get<double>());
    case Value::value_t::array:
      if (a.size() != b.size()) return false;
      for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
      return true;
    case Value::value_t::object: {
      if (a.size() != b.size()) return false;
      for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y)
        if (x.key() != y.key() || !same(*x, *y)) return false;
      return true;
    }
    default: return a == b;
  }
}

Value json(const char* text) { return Value::parse(text); }

struct Accepted {
  const char* literal;
  Value value;
};

TEST(LiteralParser, ReadsLiteralsInEveryAcceptedForm) {
  const Accepted cases[] = {
      {"{'k': {'z': 1, 'a': 2}}", json(R"({"k": {"z": 1, "a": 2}})")},
      {" {\n\t\"a\" :[ 1 ,2.5,-3 ] , 'b':None }\r\n", json(R"({"a": [1, 2.5, -3], "b": null})")},
      {"[True, False, None, [], {}]", json("[true, false, null, [], {}]")},
      {"[1, 2,]", json("[1, 2]")},
      {"{'a': 1,}", json(R"({"a": 1})")},
      {"{'a': 1, 'b': 2, 'a': 3}", json(R"({"a": 3, "b": 2})")},
      {"\"it's\"", Value("it's")},
      {R"('it\'s "x"')", Value("it's \"x\"")},
      {R"('\\ \' \" \a\b\f\n\r\t\v')", Value("\\ ' \" \a\b\f\n\r\t\v")},
      {R"('\x00\x7f\xA0\u200b\U0001F600')", Value(std::string("\0\x7f\u00a0\u200b\U0001f600", 11))},
      {R"('\101\7\0777')", Value("A\a?7")},
      {"'a\\\nb'", Value("ab")},
      {"'\u00e9\u4e2d\U0001f600'", Value("\u00e9\u4e2d\U0001f600")},
      {"'tab\there'", Value("tab\there")},
      {"-0", Value(0)},
      {"- 5", Value(-5)},
      {"+5", Value(5)},
      {"000", Value(0)},
      {"9223372036854775807", Value(std::numeric_limits<std::int64_t>::max())},
      {"9223372036854775808", Value(std::uint64_t{9223372036854775808u})},
      {"18446744073709551615", Value(std::numeric_limits<std::uint64_t>::max())},
      {"-9223372036854775808", Value(std::numeric_limits<std::int64_t>::min())},
      {"-0.0", Value(-0.0)},
      {"1e5", Value(100000.0)},
      {"1E-5", Value(1e-05)},
      {".5", Value(0.5)},
      {"5.", Value(5.0)},
      {"00.5", Value(0.5)},
      {"1.7976931348623157e+308", Value(std::numeric_limits<double>::max())},
      {"5e-324", Value(5e-324)},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.literal);
    const Value value = parse_literal(c.literal);
    EXPECT_TRUE(same(value, c.value)) << literal_text(value);
  }
}

struct Refused {
  std::string literal;
  std::size_t position;
  const char* message;
};

TEST(LiteralParser, RefusesMalformedAndHostileTexts) {
  const Refused cases[] = {
      {"", 0, "expected a value, found the end"},
      {"   ", 3, "expected a value, found the end"},
      {"[1, 2", 5, "expected ',' or ']', found the end"},
      {"{'a': 1", 7, "expected ',' or '}', found the end"},
      {"{'a' 1}", 5, "expected ':' after a mapping key, found '1'"},
      {"[1 2]", 3, "expected ',' or ']', found '2'"},
      {"[,]", 1, "expected a value, found ','"},
      {"1 2", 2, "expected the end of the literal, found '2'"},
      {"'abc", 0, "text not closed"},
      {"'ab\\", 3, "text not closed"},
      {"'a\nb'", 0, "text not closed before the end of the line"},
      {std::string("'a\0b'", 5), 2, "NUL byte"},
      {"'\\q'", 1, "unknown escape: a backslash before 'q'"},
      {"'\\x4'", 1, "truncated \\x escape"},
      {"'\\u12g4'", 1, "truncated \\u escape"},
      {"'\\U0011000'", 1, "truncated \\U escape"},
      {"'\\U00110000'", 1, "beyond U+10FFFF"},
      {"'\\ud800'", 1, "surrogate"},
      {"'\\N{DASH}'", 1, "named escapes"},
      {"'a\xff'", 2, "not valid UTF-8"},
      {"'\xed\xa0\x80'", 1, "not valid UTF-8"},
      {"'\xc0\xaf'", 1, "not valid UTF-8"},
      {"[\xff]", 1, "found a byte that is not UTF-8"},
      {"inf", 0, "the name 'inf' is not a literal"},
      {"[nan]", 1, "the name 'nan' is not a literal"},
      {"-inf", 1, "expected a number after the sign, found 'i'"},
      {"--1", 1, "expected a number after the sign, found '-'"},
      {"true", 0, "the name 'true'"},
      {"print(1)", 0, "the name 'print'"},
      {"1 + 2", 2, "expected the end of the literal, found '+'"},
      {"(1,)", 0, "tuples"},
      {"{1, 2}", 1, "expected a text as mapping key, found '1'"},
      {"{1: 2}", 1, "expected a text as mapping key"},
      {"b'x'", 0, "prefixed texts"},
      {"[R\"x\"]", 1, "prefixed texts"},
      {"0123", 0, "leading zeros"},
      {"1_000", 0, "malformed number"},
      {"0x10", 0, "malformed number"},
      {"1j", 0, "malformed number"},
      {"1e", 0, "the exponent has no digits"},
      {".", 0, "expected a value, found '.'"},
      {"18446744073709551616", 0, "integer beyond the 64-bit range"},
      {"[-9223372036854775809]", 2, "integer beyond the 64-bit range"},
      {std::string(5000, '9'), 0, "integer beyond the 64-bit range"},
      {"1e400", 0, "float beyond the range of a double"},
      {"-1e-400", 1, "float beyond the range of a double"},
      {"\x01", 0, "expected a value, found '\\x01'"},
      {std::string(101, '[') + std::string(101, ']'), 100, "nesting deeper than 100 levels"},
      {std::string(1000000, '{'), 1, "expected a text as mapping key, found '{'"},
      {std::string(1000000, '['), 100, "nesting deeper than 100 levels"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.literal.substr(0, 40));
    try {
      parse_literal(c.literal);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& error) {
      EXPECT_THAT(error.what(), HasSubstr("at byte " + std::to_string(c.position) + ": "));
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
  }
}

TEST(LiteralParser, ReadsDepthUpToTheLimit) {
  const std::string text =
      std::string(kMaxLiteralDepth, '[') + std::string(kMaxLiteralDepth, ']');
  EXPECT_EQ(literal_text(parse_literal(text)), text);
}

TEST(LiteralParser, ReadsLargeTexts) {
  constexpr int kMembers = 200000;
  std::string distinct = "{";
  std::string repeated = "{";
  for (int i = 0; i < kMembers; ++i) {
    distinct += "'k" + std::to_string(i) + "': " + std::to_string(i) + ", ";
    repeated += "'k': " + std::to_string(i) + ", ";
  }
  distinct += "}";
  repeated += "}";
  std::string text(10'000'002, 'x');
  text.front() = text.back() = '\'';

  const Value many = parse_literal(distinct);
  ASSERT_EQ(many.size(), std::size_t{kMembers});
  EXPECT_EQ(many["k199999"], kMembers - 1);
  EXPECT_TRUE(same(parse_literal(repeated), json(R"({"k": 199999})")));
  EXPECT_EQ(parse_literal(text).get_ref<const std::string&>().size(), 10'000'000u);
  EXPECT_EQ(parse_literal("0." + std::string(1'000'000, '3')).get<double>(), 1.0 / 3);
}

// Random values of every kind the parser reads back, with texts that exercise every escape.
class ValueMaker {
 public:
  explicit ValueMaker(unsigned seed) : random_(seed) {}

  Value make(int depth) {
    switch (pick(depth < 4 ? 8 : 6)) {
      case 0: return Value(nullptr);
      case 1: return Value(pick(2) == 1);
      case 2: return integer();
      case 3: return Value(finite_double());
      case 4:
      case 5: return Value(text());
      case 6: {
        Value list = Value::array();
        for (int n = pick(5); n > 0; --n) list.push_back(make(depth + 1));
        return list;
      }
      default: {
        Value mapping = Value::object();
        for (int n = pick(5); n > 0; --n) mapping[text()] = make(depth + 1);
        return mapping;
      }
    }
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  Value integer() {
    const std::uint64_t bits = random_();
    switch (pick(3)) {
      case 0: return Value(static_cast<std::int64_t>(bits % 2001) - 1000);
      case 1: return Value(static_cast<std::int64_t>(bits));
      default:
        return Value(bits | (std::uint64_t{1} << 63));  // beyond int64: an unsigned integer
    }
  }

  double finite_double() {
    for (;;) {
      const double x = pick(2) ? std::bit_cast<double>(random_())
                               : std::ldexp(static_cast<double>(random_() % 100000), pick(60) - 30);
      if (std::isfinite(x)) return x;
    }
  }

  std::string text() {
    static constexpr char32_t kSpecial[] = {
        U'\'', U'"', U'\\', U'\t', U'\n', U'\r', U'\0', U'\x7f', U'\u00a0', U'\u00ad', U'\u00e9',
        U'\u200b', U'\u2028', U'\u4e2d', U'\ufeff', U'\uffff', U'\U0001f600', U'\U000e0001',
        U'\U0010ffff'};
    std::string out;
    for (int n = pick(12); n > 0; --n) {
      char32_t cp;
      switch (pick(4)) {
        case 0: cp = static_cast<char32_t>(0x20 + pick(0x5f)); break;
        case 1: cp = kSpecial[pick(static_cast<int>(std::size(kSpecial)))]; break;
        case 2: cp = static_cast<char32_t>(pick(0x100)); break;
        default:
          do cp = static_cast<char32_t>(pick(0x110000));
          while (cp >= 0xD800 && cp <= 0xDFFF);
      }
      append_utf8(out, cp);
    }
    return out;
  }

  std::mt19937_64 random_;
};

TEST(LiteralParser, RoundTripsGeneratedValues) {
  ValueMaker maker(20240611);
  for (int i = 0; i < 20000; ++i) {
    const Value value = maker.make(0);
    const std::string text = literal_text(value);
    const Value back = parse_literal(text);
    ASSERT_TRUE(same(back, value)) << text;
    ASSERT_EQ(literal_text(back), text);
  }
}

}  // namespace
}  // namespace velmora::utils
