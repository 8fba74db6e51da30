#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varo::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& Path() const { return Root; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return Root / relative;
  }

 private:
  std::filesystem::path Root;
};

// Writes content to file, creating its parent directories.
void WriteFile(const std::filesystem::path& file, std::string_view content);

// The whole content of a file; throws when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);

}  // namespace varo::test
