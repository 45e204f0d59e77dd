// A kept answer text: made once for each source, shared by every request meanwhile, also by
// requests that come at the same moment.
#include "velmora/daemon/endpoints/kept_answer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::daemon {
namespace {

class KeptAnswers : public ::testing::Test {
 protected:
  KeptText of(int source) {
    return kept_.of(source, [this](int made_of) {
      ++made_;
      return "text of " + std::to_string(made_of);
    });
  }

  KeptAnswer<int> kept_;
  std::atomic<int> made_ = 0;
};

TEST_F(KeptAnswers, AreMadeAgainOnlyForAnotherSource) {
  const KeptText first = of(1);
  EXPECT_EQ(*first, "text of 1");
  EXPECT_EQ(of(1), first);
  EXPECT_EQ(made_, 1);
  const KeptText second = of(2);
  EXPECT_EQ(*second, "text of 2");
  EXPECT_EQ(of(2), second);
  EXPECT_EQ(*of(1), "text of 1");  // one source is kept: the first is made again
  EXPECT_EQ(made_, 3);
  EXPECT_EQ(*first, "text of 1") << "a text handed out stays as it was";
}

TEST_F(KeptAnswers, RequestsAtOnceShareOneMaking) {
  std::vector<KeptText> texts(16);
  std::vector<std::thread> requests;
  for (KeptText& text : texts) requests.emplace_back([&] { text = of(7); });
  for (std::thread& request : requests) request.join();
  EXPECT_EQ(made_, 1);
  for (const KeptText& text : texts) EXPECT_EQ(text, texts.front());
}

TEST_F(KeptAnswers, AFailedMakingKeepsNothing) {
  const KeptText first = of(1);
  EXPECT_THROW(kept_.of(2, [](int) -> std::string { throw std::runtime_error("no"); }),
               std::runtime_error);
  EXPECT_EQ(*of(2), "text of 2");
  EXPECT_EQ(made_, 2);
}

}  // namespace
}  // namespace velmora::daemon
