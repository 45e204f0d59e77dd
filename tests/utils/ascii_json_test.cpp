#include <gtest/gtest.h>

#include <limits>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/ascii_json.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::utils {
namespace {

TEST(AsciiJson, WritesBlanksAfterSeparatorsAndEscapesAllButPrintableAscii) {
  const struct {
    Value value;
    std::string text;
  } cases[] = {
      {Value::array(), "[]"},
      {Value::object(), "{}"},
      {{"a", "b"}, R"(["a", "b"])"},
      {Value{{"z", 1}, {"a", {true, nullptr, 2.5}}}, R"({"z": 1, "a": [true, null, 2.5]})"},
      {"q\"b\\s/", R"("q\"b\\s/")"},
      {"\b\f\n\r\t\x01\x7f", R"("\b\f\n\r\t\u0001\u007f")"},
      {"é日", R"("\u00e9\u65e5")"},
      {"😀", R"("\ud83d\ude00")"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {-0.0, "-0.0"},
      {-7, "-7"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ascii_json_text(c.value), c.text);
    EXPECT_EQ(parse_json(c.text), c.value) << c.text;
  }
}

TEST(AsciiJson, RefusesWhatHasNoJsonForm) {
  EXPECT_THROW(ascii_json_text(Value{{"k", "\xff"}}), ValueError);
  EXPECT_THROW(ascii_json_text(std::numeric_limits<double>::infinity()), ValueError);
  EXPECT_THROW(ascii_json_text(std::nan("")), ValueError);
  EXPECT_THROW(ascii_json_text(Value::binary({1, 2})), ValueError);
}

}  // namespace
}  // namespace velmora::utils
