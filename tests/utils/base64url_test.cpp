#include "velmora/utils/text/base64url.hpp"

#include <gtest/gtest.h>

namespace velmora::utils {
namespace {

// RFC 4648 section 10, without padding, and the two characters that differ from base64.
TEST(Base64url, EncodesAndDecodesTheStandardVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg"},           {"fo", "Zm8"},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "-_-_"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(base64url_encode(bytes), text);
    EXPECT_EQ(base64url_decode(text), bytes);
  }
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<char>(i));
  EXPECT_EQ(base64url_decode(base64url_encode(every_byte)), every_byte);
}

TEST(Base64url, RefusesWhatNoEncodingWrites) {
  for (const char* text : {"Zg==", "Zm9v+", "Zm9v/A", "Zm 9v", "Z", "Zm9vY", "Zm9v.Yg", "\xc3\xa9"})
    EXPECT_EQ(base64url_decode(text), std::nullopt) << text;
}

}  // namespace
}  // namespace velmora::utils
