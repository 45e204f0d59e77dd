#include "velmora/utils/stores/ordered_dict.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::utils {
namespace {

using Dict = OrderedDict<std::string, int>;

std::vector<std::string> keys_of(const Dict& dict) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : dict) keys.push_back(key);
  return keys;
}

TEST(OrderedDict, KeepsInsertionOrderAndAResetKeyKeepsItsPlace) {
  Dict dict;
  dict["zeta"] = 1;
  dict["alpha"] = 2;
  EXPECT_TRUE(dict.insert_or_assign("mid", 3));
  EXPECT_FALSE(dict.insert_or_assign("zeta", 10));
  EXPECT_EQ(keys_of(dict), (std::vector<std::string>{"zeta", "alpha", "mid"}));
  EXPECT_EQ(dict["zeta"], 10);

  EXPECT_EQ(dict.erase("zeta"), 1u);
  EXPECT_EQ(dict.erase("zeta"), 0u);
  dict["zeta"] = 4;  // removed and set again: goes last
  EXPECT_EQ(keys_of(dict), (std::vector<std::string>{"alpha", "mid", "zeta"}));
  EXPECT_TRUE(dict.contains("mid"));
  EXPECT_EQ(dict.find("nothing"), dict.end());
  EXPECT_EQ(dict.size(), 3u);
}

TEST(OrderedDict, CopiesAreIndependentAndEqualityHeedsOrder) {
  Dict original{{"a", 1}, {"b", 2}};
  Dict copy = original;
  copy["c"] = 3;
  copy.erase("a");
  EXPECT_EQ(keys_of(original), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(original.find("a")->second, 1);
  EXPECT_EQ(copy.find("b")->second, 2);

  Dict moved = std::move(copy);
  moved["b"] = 20;  // the index still points into the moved entries
  EXPECT_EQ(moved.find("b")->second, 20);

  EXPECT_EQ(original, (Dict{{"a", 1}, {"b", 2}}));
  EXPECT_NE(original, (Dict{{"b", 2}, {"a", 1}}));
}

}  // namespace
}  // namespace velmora::utils
