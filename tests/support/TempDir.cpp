#include "support/TempDir.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace varo::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "varo-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory");
  }
  Root = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  // Restore write permission first so that read-only fixtures can go too.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Root, error)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add, error);
  }
  std::filesystem::remove_all(Root, error);
}

void WriteFile(const std::filesystem::path& file, std::string_view content) {
  if (file.has_parent_path()) {
    std::filesystem::create_directories(file.parent_path());
  }
  std::ofstream output(file, std::ios::binary | std::ios::trunc);
  output.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!output) {
    throw std::runtime_error("cannot write " + file.string());
  }
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream input(file, std::ios::binary);
  if (!input) {
    throw std::runtime_error("cannot read " + file.string());
  }
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

}  // namespace varo::test
