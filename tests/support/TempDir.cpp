#include "support/TempDir.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace varo::test {

TempDir::TempDir() {
  // A name nobody else has: created exclusively, so a clash just tries again.
  std::random_device entropy;
  std::mt19937_64 random((std::uint64_t{entropy()} << 32) ^ entropy());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "varo-test-%012llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    std::error_code error;
    if (std::filesystem::create_directory(base / name, error)) {
      Root = base / name;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
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
