#include "velmora/utils/result_json.hpp"

#include <gtest/gtest.h>

namespace velmora::utils {
namespace {

TEST(ResultJson, FlagCodeAndMessageThenTheNamedField) {
  EXPECT_EQ(string_to_result_json(true, 0, "File sent"),
            R"({"success":true,"code":0,"msg":"File sent"})");
  EXPECT_EQ(string_to_result_json(false, -1, "line one\nline two"),
            R"({"success":false,"code":-1,"msg":"line one\nline two"})");

  const Value history = Value::array({Value::array({"New", "1.0"})});
  const Value jobs = Value::array({{{"id", "f00d"}, {"status_history", history}}});
  EXPECT_EQ(string_to_result_json(true, 0, "", "job_dict", jobs),
            R"({"success":true,"code":0,"msg":"","job_dict":[{"id":"f00d",)"
            R"("status_history":[["New","1.0"]]}]})");
  EXPECT_EQ(Value::parse(string_to_result_json(true, 401, "x", "myuuid", "3f2b"))["myuuid"],
            "3f2b");
}

TEST(ResultJson, TextThatIsNotUtf8StillGivesAnAnswer) {
  EXPECT_EQ(string_to_result_json(false, -1, "bad \xff byte", "removals", {"g\xc3"}),
            "{\"success\":false,\"code\":-1,\"msg\":\"bad \xef\xbf\xbd byte\","
            "\"removals\":[\"g\xef\xbf\xbd\"]}");
}

}  // namespace
}  // namespace velmora::utils
