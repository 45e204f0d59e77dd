#include "velmora/boxwright/engine/log_frames.hpp"

#include <gtest/gtest.h>

#include "velmora/boxwright/engine/engine_error.hpp"

namespace velmora::boxwright::engine {
namespace {

std::string frame(char stream, std::string_view payload) {
  std::string out = {stream, 0, 0, 0};
  const auto size = static_cast<std::uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(size >> shift));
  out += payload;
  return out;
}

utils::ChunkSink append_to(std::string& out) {
  return [&out](std::string_view piece) { out.append(piece); };
}

TEST(LogDemultiplexer, JoinsPayloadsWhereverPiecesAreCut) {
  const std::string big(70000, 'b');  // a length that needs more than one header byte
  const std::string stream = frame(1, "out\n") + frame(2, "err\n") + frame(1, "") + frame(1, big);
  const std::string expected = "out\nerr\n" + big;
  for (std::size_t cut :
       {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{13}, std::size_t{4096}}) {
    std::string out;
    LogDemultiplexer frames(append_to(out));
    for (std::size_t at = 0; at < stream.size(); at += cut) frames.feed(stream.substr(at, cut));
    EXPECT_EQ(out, expected) << "pieces of " << cut;
    EXPECT_TRUE(frames.at_frame_end());
  }
}

TEST(LogDemultiplexer, NoticesCutOffAndMalformedStreams) {
  std::string out;
  LogDemultiplexer cut(append_to(out));
  cut.feed(frame(1, "hello").substr(0, 10));
  EXPECT_FALSE(cut.at_frame_end());
  EXPECT_EQ(out, "he");

  LogDemultiplexer raw(append_to(out));
  try {
    raw.feed("hello, raw terminal output");
    FAIL() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.status(), 200);  // the answer came; its content is wrong
  }
}

}  // namespace
}  // namespace velmora::boxwright::engine
