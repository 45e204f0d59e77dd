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

// An answer put together from its list's items as texts is the answer of the list itself.
TEST(ResultJson, AListGivenAsItsItemsTextsGivesTheSameAnswer) {
  const Value items = Value::array({{{"id", "f00d"}, {"path", "caf\xc3\xa9 \"q\"\n"}},
                                    Value::array({1.5, nullptr, true}), "bad \xff"});
  std::vector<std::string> texts;
  for (const Value& item : items) texts.push_back(answer_json(item));
  EXPECT_EQ(string_to_result_json_list(true, 0, "success", "job_dict", {texts.begin(), texts.end()}),
            string_to_result_json(true, 0, "success", "job_dict", items));
  EXPECT_EQ(string_to_result_json_list(false, -1, "x\x01", "f\"", {}),
            string_to_result_json(false, -1, "x\x01", "f\"", Value::array()));
}

}  // namespace
}  // namespace velmora::utils
