#include "velmora/daemon/validate_data.hpp"

#include <gtest/gtest.h>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::daemon {
namespace {

using utils::Value;

TEST(ValidateData, ConvertsEachRequiredValue) {
  struct Case {
    const char* json;
    const char* text;
    bool truth;
  };
  const Case cases[] = {
      {R"("a b")", "a b", true},
      {R"("")", "", false},
      {R"("false")", "false", true},
      {R"("0")", "0", true},
      {"42", "42", true},
      {"-7", "-7", true},
      {"0", "0", false},
      {"1.5", "1.5", true},
      {"0.0", "0.0", false},
      {"1e16", "1e+16", true},
      {"18446744073709551615", "18446744073709551615", true},
      {"true", "True", true},
      {"false", "False", false},
      {"null", "None", false},
      {R"([1, "x", null])", "[1, 'x', None]", true},
      {"[]", "[]", false},
      {R"({"k": true})", "{'k': True}", true},
      {"{}", "{}", false},
  };
  for (const Case& c : cases) {
    const Value body = {{"value", utils::parse_json(c.json)}, {"other", 1}};
    EXPECT_EQ(validate_data(body, {{"value", Conversion::text}}), Value({{"value", c.text}}))
        << c.json;
    EXPECT_EQ(validate_data(body, {{"value", Conversion::truth}}), Value({{"value", c.truth}}))
        << c.json;
  }
}

TEST(ValidateData, KeepsExactlyTheRequiredKeysInTheirOrder) {
  const Value body = {{"b", "2"}, {"a", 1}, {"extra", "dropped"}};
  const Value data = validate_data(body, {{"a", Conversion::text}, {"b", Conversion::truth}});
  EXPECT_EQ(data.dump(), R"({"a":"1","b":true})");
  EXPECT_EQ(body.size(), 3u);  // the body itself is left as it was
  for (const Value& anything : {body, Value::array({1}), Value("text"), Value(nullptr)})
    EXPECT_EQ(validate_data(anything), Value::object()) << anything;
  EXPECT_EQ(validate_data(), Value::object());
}

TEST(ValidateData, FailsOnAMissingKeyOrABodyThatIsNoObject) {
  const Value body = {{"dir", "/tmp/job"}};
  try {
    validate_data(body, {{"dir", Conversion::text}, {"uuid", Conversion::text}});
    FAIL() << "no error";
  } catch (const utils::KeyError& error) {
    EXPECT_STREQ(error.what(), "'uuid'");
  }
  for (const Value& no_object : {Value::array({"dir"}), Value("dir"), Value(3), Value(nullptr)})
    EXPECT_THROW(validate_data(no_object, {{"dir", Conversion::text}}), utils::TypeError)
        << no_object;
}

}  // namespace
}  // namespace velmora::daemon
