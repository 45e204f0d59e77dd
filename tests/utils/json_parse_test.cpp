#include "velmora/utils/text/json_parse.hpp"

#include <gtest/gtest.h>

#include <string>

#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_reader.hpp"

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

// A reader keeps its buffers from one text to the next, whatever their sizes, and reads a text
// in place once it has room to spare past its end.
TEST(JsonReader, ReadsTextsOfAnySizeOneAfterAnother) {
  JsonReader reader;
  for (const std::size_t size : {10u, 100'000u, 50u, 400'000u}) {
    std::string text = "\xEF\xBB\xBF[\"" + std::string(size, 'x') + "\", 1]";
    const simdjson::dom::element root = reader.read(text);
    EXPECT_EQ(std::string_view(root.at(0)).size(), size);
    EXPECT_EQ(value_of(root)[1], 1);
  }
  std::string nul("[1]\0", 4);
  EXPECT_THROW(reader.read(nul), ValueError);
  std::string deep = nested(kMaxJsonDepth + 1);
  EXPECT_THROW(reader.read(deep), ValueError);
  std::string fine = nested(kMaxJsonDepth);
  EXPECT_NO_THROW(reader.read(fine));
}

}  // namespace
}  // namespace velmora::utils
