#include "velmora/boxwright/docker_error.hpp"

#include <gtest/gtest.h>

namespace velmora::boxwright {
namespace {

using utils::Value;

Value build_args() {
  return {{"path", "/tmp/job"},
          {"tag", "job:1"},
          {"labels", Value::object()},
          {"container_limits", Value::object()},
          {"rm", true},
          {"pull", nullptr},
          {"forcerm", true}};
}

TEST(DockerError, ImageBuildErrorFromArgumentsAlone) {
  const ImageBuildError error(build_args());
  EXPECT_EQ(error.reason(), "Unknown");
  EXPECT_TRUE(error.build_log().is_null());
  EXPECT_STREQ(error.what(),
               "Reason Unknown\n"
               "Build Arguments: {'path': '/tmp/job', 'tag': 'job:1', 'labels': {}, "
               "'container_limits': {}, 'rm': True, 'pull': None, 'forcerm': True}\n"
               "Build Log: None");
}

TEST(DockerError, ImageBuildErrorShowsReasonAndLog) {
  const Value log =
      Value::array({{{"stream", "Step 1/1 : FROM nothing\n"}}, {{"error", "it's gone"}}});
  const ImageBuildError error({{"tag", "a:b"}}, "it's gone", log);
  EXPECT_STREQ(error.what(),
               "Reason it's gone\n"
               "Build Arguments: {'tag': 'a:b'}\n"
               "Build Log: [{'stream': 'Step 1/1 : FROM nothing\\n'}, {'error': \"it's gone\"}]");
  EXPECT_EQ(error.build_log(), log);
}

TEST(DockerError, ContainerBuildErrorIsOneLine) {
  const ContainerBuildError error(
      {{"img", "sha256:abc"}, {"detach", true}, {"labels", Value::object()}});
  EXPECT_STREQ(error.what(),
               "Build Arguments: {'img': 'sha256:abc', 'detach': True, 'labels': {}}");
}

TEST(DockerError, ContainerRunErrorIsItsName) {
  const ContainerRunError error("job-container");
  EXPECT_STREQ(error.what(), "job-container");
  EXPECT_EQ(error.cntr_name(), "job-container");
}

TEST(DockerError, RuntimeErrorHandlerCatchesEveryKind) {
  const auto caught = [](auto raise) {
    try {
      raise();
    } catch (const utils::RuntimeError&) {
      return true;
    }
    return false;
  };
  EXPECT_TRUE(caught([] { throw DockerError("x"); }));
  EXPECT_TRUE(caught([] { throw ImageBuildError(Value::object()); }));
  EXPECT_TRUE(caught([] { throw ContainerBuildError(Value::object()); }));
  EXPECT_TRUE(caught([] { throw ContainerRunError("c"); }));
}

}  // namespace
}  // namespace velmora::boxwright
