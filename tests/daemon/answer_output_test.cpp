// A connection's answers to write: its own bytes and the kept bodies between them go out in
// order, each kept body from where it is kept, also when a write takes only part of it.
#include "velmora/daemon/server/answer_output.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velmora::daemon {
namespace {

// Writes at most chunk bytes at a time until all have gone; what went, in order.
std::string write_all(AnswerOutput& output, std::size_t chunk) {
  std::string went;
  while (!output.empty()) {
    const std::string_view next = output.unwritten().substr(0, chunk);
    went += next;
    output.written(next.size());
  }
  return went;
}

TEST(AnswerOutput, WritesOwnBytesAndKeptBodiesInOrder) {
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
    SCOPED_TRACE(chunk);
    AnswerOutput output;
    const auto kept = std::make_shared<const std::string>("kept body");
    output.bytes() += "head 1|";
    output.append(kept);
    output.append(std::make_shared<const std::string>());  // nothing to write
    output.bytes() += "head 2|";
    output.append(kept);
    output.bytes() += "own|";
    EXPECT_EQ(output.size(), 7 + 9 + 7 + 9 + 4);
    EXPECT_EQ(write_all(output, chunk), "head 1|kept bodyhead 2|kept bodyown|");
    EXPECT_EQ(output.size(), 0u);
    EXPECT_TRUE(output.bytes().empty());
    EXPECT_EQ(kept.use_count(), 1) << "written bodies are let go";
  }
}

TEST(AnswerOutput, AKeptBodyIsWrittenFromWhereItIsKept) {
  AnswerOutput output;
  const auto kept = std::make_shared<const std::string>(100000, 'k');
  output.bytes() += "head";
  output.append(kept);
  EXPECT_EQ(output.unwritten(), "head");
  output.written(2);
  EXPECT_EQ(output.unwritten(), "ad");
  output.written(2);
  EXPECT_EQ(output.unwritten().data(), kept->data());
  EXPECT_EQ(output.unwritten().size(), kept->size());
  output.written(4096);
  EXPECT_EQ(output.unwritten().data(), kept->data() + 4096);
  EXPECT_EQ(output.size(), kept->size() - 4096);
  output.written(kept->size() - 4096);
  EXPECT_TRUE(output.empty());
  EXPECT_EQ(output.unwritten(), "");
}

}  // namespace
}  // namespace velmora::daemon
