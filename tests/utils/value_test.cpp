#include "velmora/utils/value.hpp"

#include <gtest/gtest.h>

namespace velmora::utils {
namespace {

TEST(Value, TruthValue) {
  const Value truthy[] = {true, 1, 2u, -0.5, "x", "false", "0", Value::array({0}), Value{{"a", 0}},
                          Value::binary({0})};
  for (const Value& value : truthy) EXPECT_TRUE(truth_value(value)) << value;
  const Value falsy[] = {false, 0, 0u, 0.0, -0.0, "", Value::array(), Value::object(), nullptr,
                         Value::binary({})};
  for (const Value& value : falsy) EXPECT_FALSE(truth_value(value)) << value;
}

}  // namespace
}  // namespace velmora::utils
