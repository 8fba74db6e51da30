#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varo::publish {

// A file written under a temporary name beside its own and put in its place
// in one step, so that the name holds the old content or the new one, whole,
// and never a part.
class WholeFile {
 public:
  explicit WholeFile(std::filesystem::path target);
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;
  // Removes the temporary file when Commit did not take it.
  ~WholeFile();

  // The temporary name of target: its own with ".partial" after it.
  static std::filesystem::path TemporaryFor(const std::filesystem::path& target);

  // Writes bytes to the temporary file and puts them on the disk; false, and
  // error set, when that fails.
  bool Write(std::string_view bytes, std::string& error);

  // Puts the written file in the target's place; false, and error set, when
  // that fails (the target is then unchanged).
  bool Commit(std::string& error);

 private:
  std::filesystem::path Target;
  std::filesystem::path Temporary;
  bool Pending = false;
};

}  // namespace varo::publish
