#include "velmora/boxwright/image_tags.hpp"

#include <gtest/gtest.h>

#include "velmora/utils/error.hpp"

namespace velmora::boxwright {
namespace {

struct Case {
  std::string input;
  std::string expected;
};

TEST(ImageTags, SanitizeName) {
  const Case cases[] = {
      {"My Job", "myjob"},
      {"Data..Set", "data.set"},
      {".", ""},
      {"...", ""},
      {"a____b", "a__b"},
      {"a___b", "a__b"},
      {"a__b", "a__b"},
      {"a_b", "a_b"},
      {"a.!.b", "a.b"},  // removing "!" makes a run of full stops, which is then shrunk
      {"___", ""},
      {"-Job-", "job"},
      {"_a_", "a"},
      {"a_._b", "a_._b"},
      {"x.-_y", "x.-_y"},
      {"\u00DCn\u00EFcode", "ncode"},  // letters beyond ASCII go
      {"\u212A", "k"},                 // KELVIN SIGN lower-cases to k
      {"\u0130x", "ix"},               // lower-cases to i and a combining dot
      {"", ""},
      {std::string("A\xff") + "B", "ab"},  // bytes that are no UTF-8 go
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(sanitize_name(input), expected) << input;
}

TEST(ImageTags, SanitizeVersion) {
  const std::string hex = "0123456789abcdef0123456789abcdef";
  const std::string longest = "v" + std::string(MAX_CHARS - 1, 'x');
  const Case cases[] = {
      {"1.0-Beta", "1.0-Beta"},  // capitals stay
      {"..-rc1", "rc1"},         // only the start is stripped
      {"rc1..", "rc1.."},
      {"_rc1", "_rc1"},
      {"rc 1", "rc1"},
      {"\u00E91", "1"},
      {"..", ""},
      {hex, hex},                 // a job id comes back unchanged
      {longest, longest},         // 128 characters are accepted
      {".." + longest, longest},  // the limit applies after the strip
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(sanitize_version(input), expected) << input;
}

TEST(ImageTags, OverlongVersionIsRefused) {
  try {
    sanitize_version(std::string(MAX_CHARS + 1, 'a'));
    FAIL() << "no error";
  } catch (const utils::RuntimeError& e) {
    EXPECT_STREQ(e.what(), "Image tag exceeds character limit (128)");
  }
  // Characters that are removed do not count.
  EXPECT_EQ(sanitize_version(std::string(MAX_CHARS, 'a') + "!!"), std::string(MAX_CHARS, 'a'));
}

TEST(ImageTags, SanitizeTag) {
  EXPECT_EQ(sanitize_tag("My Job", "0123456789abcdef0123456789abcdef"),
            "myjob:0123456789abcdef0123456789abcdef");
  EXPECT_EQ(sanitize_tag("...", "abc"), ":abc");
  EXPECT_EQ(sanitize_tag("x", ".."), "x:");
  EXPECT_THROW(sanitize_tag("x", std::string(200, 'v')), utils::RuntimeError);
}

}  // namespace
}  // namespace velmora::boxwright
