#include "velmora/utils/text/json_writer.hpp"

#include <gtest/gtest.h>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

// Everything a writer drains, joined.
struct Collected {
  std::string text;
  int pieces = 0;
  JsonWriter writer{[this](std::string_view piece) {
    text += piece;
    ++pieces;
  }};
};

TEST(JsonWriter, TextIsEscapedAsJsonWantsIt) {
  const std::string cases[] = {
      "",
      "plain",
      "exactly8",
      "longer than eight plain bytes",
      "quote \" and backslash \\ inside a long text",
      std::string("nul \0 tab \t newline \n and \x1f \x7f", 29),
      "\u00e9t\u00e9 \u65e5\u672c \U0001F600 beyond the first eight",
      "1733822400.1234567",
      std::string(100000, '\n') + std::string(100000, 'x'),  // larger than a drained piece
  };
  for (const std::string& text : cases) {
    Collected out;
    out.writer.text(text);
    out.writer.flush();
    EXPECT_EQ(out.text, Value(text).dump());
  }
}

TEST(JsonWriter, TextThatIsNotUtf8IsRefused) {
  for (const char* text : {"\xff", "eight ok\xc3", "\xc0\x80", "\xed\xa0\x80", "tail \xe6\x97"}) {
    SCOPED_TRACE(text);
    Collected out;
    EXPECT_THROW(out.writer.text(text), ValueError);
  }
  Collected out;
  EXPECT_THROW(out.writer.value({{"k", Value::binary({1})}}), ValueError);
}

TEST(JsonWriter, PlacesCommasAndDrainsInPieces) {
  Collected out;
  Value expected = Value::array();
  out.writer.begin_list();
  for (int i = 0; i < 20000; ++i) {
    const std::string id = "record-" + std::to_string(i);
    out.writer.begin_mapping();
    out.writer.key("id");
    out.writer.text(id);
    out.writer.key("history");
    out.writer.begin_list();
    out.writer.end_list();
    out.writer.key("extra");
    out.writer.value({{"n", i}, {"ok", true}});
    out.writer.end_mapping();
    expected.push_back(
        {{"id", id}, {"history", Value::array()}, {"extra", {{"n", i}, {"ok", true}}}});
  }
  out.writer.end_list();
  out.writer.flush();
  EXPECT_EQ(out.text, expected.dump());
  EXPECT_GT(out.pieces, 1);
}

TEST(JsonWriter, KeptJsonIsCopiedInPlaceWithItsCommas) {
  std::string kept;
  JsonWriter small([&](std::string_view piece) { kept += piece; }, 16);
  small.begin_mapping();
  small.key("status");
  small.text(std::string(40, 's'));  // more than one small piece
  small.end_mapping();
  small.flush();

  Collected out;
  out.writer.begin_list();
  out.writer.json(kept);
  out.writer.text("after");
  out.writer.json(kept);
  out.writer.end_list();
  out.writer.flush();
  const Value one = {{"status", std::string(40, 's')}};
  EXPECT_EQ(out.text, Value::array({one, "after", one}).dump());
}

}  // namespace
}  // namespace velmora::utils
