#include "velmora/utils/text/json_parse.hpp"

#include <gtest/gtest.h>

#include <string>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ParseJson, KeepsOrderAndReadsNestingUpToTheLimit) {
  EXPECT_EQ(parse_json(R"({"b": 1, "a": [true, null]})").dump(), R"({"b":1,"a":[true,null]})");
  EXPECT_NO_THROW(parse_json(nested(kMaxJsonDepth)));
  // Brackets inside texts, escaped quotes among them, do not count.
  const std::string in_text = "[\"" + std::string(500, '[') + "\\\"{\", {\"k\": \"}}}\"}]";
  EXPECT_EQ(parse_json(in_text)[0].get<std::string>(), std::string(500, '[') + "\"{");
}

TEST(ParseJson, RefusesDeepNestingNulBytesAndMalformedText) {
  for (const std::string& text :
       {nested(kMaxJsonDepth + 1), nested(100000), "[\"\\\\\"" + nested(kMaxJsonDepth + 1) + "]",
        std::string("{\"a\": 1}\0junk", 13),
        std::string("{\"a\": \"x\0y\"}", 12), std::string("{\"a\": "), std::string("")}) {
    EXPECT_THROW(parse_json(text), ValueError) << text.size();
  }
}

}  // namespace
}  // namespace velmora::utils
