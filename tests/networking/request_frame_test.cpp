#include "velmora/networking/request_frame.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "files_and_keys.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::networking {
namespace {

TEST(SortedMembers, OrdersTopLevelKeysByCodePoint) {
  const Value data = {{"uuid_friend", 1}, {"é", 2},     {"uuid", 3}, {"_x", 4},
                      {"Zed", 5},         {"9lives", 6}, {"a", 7},    {"\xf0\x9f\x98\x80", 8}};
  const Value sorted = sorted_members(data);
  EXPECT_EQ(keys_of(sorted), (std::vector<std::string>{"9lives", "Zed", "_x", "a", "uuid",
                                                       "uuid_friend", "é", "\xf0\x9f\x98\x80"}));
  EXPECT_EQ(sorted["uuid"], 3);
  EXPECT_EQ(keys_of(data).front(), "uuid_friend");  // the caller's mapping is untouched
}

TEST(SortedMembers, NestedMappingsKeepTheirOrder) {
  const Value sorted = sorted_members({{"k", {{"z", 1}, {"a", 2}}}, {"b", Value::array()}});
  EXPECT_EQ(keys_of(sorted), (std::vector<std::string>{"b", "k"}));
  EXPECT_EQ(keys_of(sorted["k"]), (std::vector<std::string>{"z", "a"}));
  EXPECT_TRUE(sorted_members(Value::object()).empty());
  EXPECT_THROW(sorted_members(Value::array({1})), utils::TypeError);
}

TEST(RequestTrace, FiveIndentedLines) {
  const std::string trace = request_trace(
      "https://b.example/list/users", {{"a", "x"}, {"sig", "s"}},
      {{"Authorization", "Bearer <sha256:0123>"}}, 400, "{\"valid\": false}");
  EXPECT_EQ(trace,
            "    URL: https://b.example/list/users\n"
            "    Payload: {'a': 'x', 'sig': 's'}\n"
            "    Headers: {'Authorization': 'Bearer <sha256:0123>'}\n"
            "    Response Status Code: 400\n"
            "    Server Response: {\"valid\": false}\n");
}

TEST(AnswerCode, OnlyNumericZeroAndFalseCountAsZero) {
  const Value zero[] = {0, 0u, 0.0, -0.0, false};
  for (const Value& code : zero) EXPECT_TRUE(code_counts_as_zero(code)) << code;
  const Value non_zero[] = {"0", nullptr, 1, -1, 0.5, true, Value::array(), Value::object(), ""};
  for (const Value& code : non_zero) EXPECT_FALSE(code_counts_as_zero(code)) << code;
}

}  // namespace
}  // namespace velmora::networking
