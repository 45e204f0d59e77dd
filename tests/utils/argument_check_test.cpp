#include "velmora/utils/argument_check.hpp"

#include <gtest/gtest.h>

namespace velmora::utils {
namespace {

TEST(ArgumentCheck, MessageNamesArgumentAndTypes) {
  EXPECT_STREQ(argument_type_error("raw", "bytes", "str").what(),
               "Argument 'raw' has incorrect type (expected bytes, got str)");
}

TEST(ArgumentCheck, EachFieldIsCutAt200Characters) {
  const std::string long_name(250, 'n');
  std::string wide;
  for (int i = 0; i < 250; ++i) wide += "\u00e9";  // two bytes each: cut by characters
  const std::string text = argument_type_error(long_name, wide, "int").what();
  std::string expected_wide;
  for (int i = 0; i < 200; ++i) expected_wide += "\u00e9";
  EXPECT_EQ(text, "Argument '" + std::string(200, 'n') + "' has incorrect type (expected " +
                      expected_wide + ", got int)");
}

TEST(ArgumentCheck, TypeNames) {
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value("x"), "str"},
      {Value::binary({1, 2}), "bytes"},
      {Value(1), "int"},
      {Value(1u), "int"},
      {Value(1.5), "float"},
      {Value(true), "bool"},
      {Value::array(), "list"},
      {Value::object(), "dict"},
      {Value(), "NoneType"},
  };
  for (const auto& [value, name] : cases) EXPECT_EQ(type_name(value), name) << value.dump();
}

TEST(ArgumentCheck, TextOrNone) {
  EXPECT_NO_THROW(check_text_or_none(Value("x"), "endpoint"));
  EXPECT_NO_THROW(check_text_or_none(Value(), "endpoint"));
  try {
    check_text_or_none(Value::binary({1}), "server_url");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "Argument 'server_url' has incorrect type (expected str, got bytes)");
  }
}

TEST(ArgumentCheck, BytesOrNone) {
  EXPECT_NO_THROW(check_bytes_or_none(Value::binary({1}), "raw"));
  EXPECT_NO_THROW(check_bytes_or_none(Value(), "raw"));
  EXPECT_THROW(check_bytes_or_none(Value("text"), "raw"), TypeError);
}

TEST(Errors, KeyAndOsErrorTextForms) {
  EXPECT_STREQ(KeyError("job_id").what(), "'job_id'");
  EXPECT_STREQ(KeyError("it's").what(), "\"it's\"");
  EXPECT_STREQ(KeyError(7).what(), "7");
  EXPECT_STREQ(OSError(2, "/no/such").what(), "[Errno 2] No such file or directory: '/no/such'");
  // A path is shown as literal text: the other quote kind, an undecodable byte as its surrogate.
  EXPECT_STREQ(OSError(2, "/it's").what(), "[Errno 2] No such file or directory: \"/it's\"");
  EXPECT_STREQ(OSError(13, "/a\xff").what(), "[Errno 13] Permission denied: '/a\\udcff'");
  const RuntimeError& as_runtime = NotImplementedError();
  EXPECT_STREQ(as_runtime.what(), "");
}

}  // namespace
}  // namespace velmora::utils
