#include "velmora/utils/bytes.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

TEST(Bytes, EveryByteValueRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const Bytes bytes(all);
  EXPECT_EQ(s2b(b2s(bytes)), bytes);
  EXPECT_EQ(b2s(s2b(b2s(bytes))), b2s(bytes));
}

TEST(Bytes, AsciiTextIsUnchanged) {
  const std::string id = "3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c";
  EXPECT_EQ(b2s(Bytes(id)), id);
  EXPECT_EQ(s2b(id).data, id);
}

TEST(Bytes, HighBytesBecomeLatin1CodePoints) {
  EXPECT_EQ(b2s(Bytes(std::string("\xe9\xff", 2))), "\u00e9\u00ff");
}

TEST(Bytes, S2bRefusesWhatNoByteMeans) {
  EXPECT_THROW(s2b("\u0100"), ValueError);
  EXPECT_THROW(s2b("\xff"), ValueError);        // not UTF-8
  EXPECT_THROW(s2b("\xc3"), ValueError);        // truncated sequence
  EXPECT_THROW(s2b("\xc0\x80"), ValueError);    // overlong NUL
}

TEST(Bytes, IsOrderedAndHashable) {
  EXPECT_LT(Bytes(std::string_view("a")), Bytes(std::string_view("b")));
  std::unordered_set<Bytes> set{Bytes(std::string_view("x")), Bytes(std::string_view("x"))};
  EXPECT_EQ(set.size(), 1u);
}

}  // namespace
}  // namespace velmora::utils
