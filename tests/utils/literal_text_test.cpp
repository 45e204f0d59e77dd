#include "velmora/utils/text/literal_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "velmora/utils/text/unicode_printable.hpp"
#include "velmora/utils/text/utf8.hpp"

namespace velmora::utils {
namespace {

Value json(const char* text) { return Value::parse(text); }

Value code_points(std::u32string_view cps) {
  std::string text;
  for (char32_t cp : cps) append_utf8(text, cp);
  return Value(text);
}

struct Case {
  const char* name;
  Value value;
  std::string literal;
};

TEST(LiteralText, WritesEveryKindExactly) {
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"nested mapping keeps order", json(R"({"k": {"z": 1, "a": 2}})"), "{'k': {'z': 1, 'a': 2}}"},
      {"list of kinds", json(R"([1, true, null, "x"])"), "[1, True, None, 'x']"},
      {"empty list", Value::array(), "[]"},
      {"empty mapping", Value::object(), "{}"},
      {"empty members", json(R"({"a": [], "b": {}, "c": [[]]})"), "{'a': [], 'b': {}, 'c': [[]]}"},
      {"false", Value(false), "False"},
      {"single quote only", Value("it's"), "\"it's\""},
      {"both quotes", Value("it's \"x\""), R"('it\'s "x"')"},
      {"double quotes only", Value("say \"hi\""), R"('say "hi"')"},
      {"empty text", Value(""), "''"},
      {"tab, line feed, carriage return", Value("a\tb\nc\rd"), R"('a\tb\nc\rd')"},
      {"NUL and DEL", Value(std::string("\0\x7f", 2)), R"('\x00\x7f')"},
      {"other controls", Value("\x01\x1f\x0b"), R"('\x01\x1f\x0b')"},
      {"no-break space, soft hyphen", code_points(U"\u00a0\u00ad"), R"('\xa0\xad')"},
      {"zero-width space", code_points(U"\u200b"), R"('\u200b')"},
      {"language tag", code_points(U"\U000e0001"), R"('\U000e0001')"},
      {"line and paragraph separators", code_points(U"\u2028\u2029"), R"('\u2028\u2029')"},
      {"C1 control", code_points(U"\u0085"), R"('\x85')"},
      {"private use", code_points(U"\ue000\U00100000"), R"('\ue000\U00100000')"},
      {"unassigned in 11.0", code_points(U"\u061d"), R"('\u061d')"},
      {"printable non-ASCII", code_points(U"\u00e9\u4e2d\U0001f600"), "'\u00e9\u4e2d\U0001f600'"},
      {"backslash", Value("a\\b"), R"('a\\b')"},
      {"bytes not UTF-8", Value("a\xff\xe4\xb8"), R"('a\udcff\udce4\udcb8')"},
      {"escapes between printable runs", Value("caf\xc3\xa9\xc2\xa0na\xc3\xafve\xff!\t"),
       "'caf\u00e9\\xa0na\u00efve\\udcff!\\t'"},
      {"zero", Value(0), "0"},
      {"negative", Value(-42), "-42"},
      {"int64 min", Value(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {"uint64 max", Value(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {"2.0", Value(2.0), "2.0"},
      {"0.1", Value(0.1), "0.1"},
      {"1/3", Value(1.0 / 3), "0.3333333333333333"},
      {"0.0001", Value(0.0001), "0.0001"},
      {"1e-05", Value(1e-05), "1e-05"},
      {"1e+16", Value(1e16), "1e+16"},
      {"1.2345678901234568e+17", Value(123456789012345678.0), "1.2345678901234568e+17"},
      {"-0.0", Value(-0.0), "-0.0"},
      {"0.0", Value(0.0), "0.0"},
      {"inf", Value(inf), "inf"},
      {"-inf", Value(-inf), "-inf"},
      {"nan", Value(std::nan("")), "nan"},
      {"-nan", Value(-std::nan("")), "nan"},
      {"100.0", Value(100.0), "100.0"},
      {"123.456", Value(123.456), "123.456"},
      {"-1.5e+300", Value(-1.5e300), "-1.5e+300"},
      {"1e15 stays positional", Value(1e15), "1000000000000000.0"},
      {"largest positional", Value(9999999999999998.0), "9999999999999998.0"},
      {"smallest subnormal", Value(5e-324), "5e-324"},
      {"largest double", Value(std::numeric_limits<double>::max()), "1.7976931348623157e+308"},
      {"three-digit exponent", Value(1.5e-100), "1.5e-100"},
      {"bytes", Value::binary({'a', '\'', 0, 0xff, '\\'}), R"(b"a'\x00\xff\\")"},
  };
  for (const Case& c : cases) EXPECT_EQ(literal_text(c.value), c.literal) << c.name;
}

TEST(LiteralText, AppendsToTheBuffer) {
  std::string out = "signed:";
  append_literal_text(out, json(R"({"b": [1.5, "x"], "a": null})"));
  EXPECT_EQ(out, "signed:{'b': [1.5, 'x'], 'a': None}");
}

TEST(LiteralText, DisplayTextLeavesOnlyTextsBare) {
  EXPECT_EQ(display_text(Value("it's \u200b")), "it's \u200b");
  EXPECT_EQ(display_text(json(R"({"t": "\u200b", "n": null})")), "{'t': '\\u200b', 'n': None}");
  EXPECT_EQ(display_text(Value(5)), "5");
}

TEST(LiteralText, WritesDeepNestingWithoutRecursion) {
  constexpr int kDepth = 200000;
  Value value = Value::array();
  for (int i = 0; i < kDepth; ++i) value = Value::array({std::move(value)});
  const std::string text = literal_text(value);
  EXPECT_EQ(text, std::string(kDepth + 1, '[') + std::string(kDepth + 1, ']'));
}

TEST(UnicodePrintable, TableIsUnicode11) {
  // Unicode 11.0 has 976,908 code points in Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs besides U+0020.
  std::size_t count = 0;
  for (const CodePointRange& r : kNotPrintableRanges) count += r.last - r.first + 1;
  EXPECT_EQ(count, 976908u);
  EXPECT_EQ(kNotPrintableRanges.size(), 661u);

  EXPECT_TRUE(is_printable(U' '));
  EXPECT_TRUE(is_printable(U'~'));
  EXPECT_FALSE(is_printable(U'\x1f'));
  EXPECT_FALSE(is_printable(U'\x7f'));
  EXPECT_FALSE(is_printable(U'\u00a0'));
  EXPECT_TRUE(is_printable(U'\u00a1'));
  EXPECT_FALSE(is_printable(U'\u061d'));      // assigned only after 11.0
  EXPECT_TRUE(is_printable(U'\U0001f600'));
  EXPECT_FALSE(is_printable(U'\U0010ffff'));
}

TEST(UnicodePrintable, TableAgreesWithTheRangesEverywhere) {
  const PrintableTable& printable = PrintableTable::get();
  std::size_t disagreements = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) disagreements += printable(cp) != is_printable(cp);
  EXPECT_EQ(disagreements, 0u);
}

}  // namespace
}  // namespace velmora::utils
