#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace varo::test {

// Why a test that needs a full disk cannot run here.
inline constexpr const char* kNoTinyFileSystem =
    "VARO_TINY_FS is not set: scripts/test mounts a 1 MiB tmpfs for this test when it runs as "
    "root and may mount, and names it there";

// A fresh folder on a small file system (VARO_TINY_FS names its root: a
// Linux path under Wine, seen through Z:, or a Windows folder), removed
// with its content when the object goes away.
class TinyFolder {
 public:
  TinyFolder() {
    wchar_t value[4096] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"VARO_TINY_FS", value, 4096);
    if (length == 0 || length >= 4096) {
      return;
    }
    const std::wstring root(value, length);
    // Wine shows the host's root folder as the drive Z:.
    const std::filesystem::path base =
        root.starts_with(L"/") ? std::filesystem::path(L"Z:" + root) : std::filesystem::path(root);
    Root = base / ("varo-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(*Root);
  }
  TinyFolder(const TinyFolder&) = delete;
  TinyFolder& operator=(const TinyFolder&) = delete;
  ~TinyFolder() {
    if (Root) {
      std::error_code ignored;
      std::filesystem::remove_all(*Root, ignored);
    }
  }

  // The folder; nothing when no small file system was named.
  const std::optional<std::filesystem::path>& Path() const { return Root; }

 private:
  std::optional<std::filesystem::path> Root;
};

}  // namespace varo::test
