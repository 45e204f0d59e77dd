#include "testing/docker_cli.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velmora::testing {

bool run_docker_cli(const std::vector<std::string>& args) {
  std::vector<char*> argv = {const_cast<char*>("docker")};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  int status = 0;
  const bool ran = posix_spawnp(&child, "docker", &actions, nullptr, argv.data(), environ) == 0 &&
                   waitpid(child, &status, 0) == child;
  posix_spawn_file_actions_destroy(&actions);
  return ran && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace velmora::testing
