#pragma once
// A fresh folder in the temporary directory, removed with everything in it when the object goes.

#include <filesystem>
#include <string_view>
#include <utility>

namespace velmora::testing {

class ScopedFolder {
 public:
  explicit ScopedFolder(std::string_view prefix = "velmora-test-");
  ScopedFolder(ScopedFolder&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  ScopedFolder& operator=(ScopedFolder&&) = delete;
  ~ScopedFolder();

  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace velmora::testing
