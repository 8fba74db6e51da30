#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/Result.h"

// What the core needs of the file system. Every call is safe on any thread;
// none throws.
namespace varo::platform {

// A file time as on Windows: 100-ns intervals since 1601-01-01 UTC, split
// into its low and high 32-bit halves.
struct FileTime {
  std::uint32_t Low = 0;
  std::uint32_t High = 0;

  std::uint64_t Value() const { return (std::uint64_t{High} << 32) | Low; }
  static FileTime FromValue(std::uint64_t value) {
    return {static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32)};
  }
  friend bool operator==(const FileTime&, const FileTime&) = default;
};

// -1, 0 or 1 as the first time is earlier than, equal to or later than the
// second.
inline int CompareFileTimes(const FileTime& a, const FileTime& b) {
  return a.Value() < b.Value() ? -1 : (a.Value() > b.Value() ? 1 : 0);
}

// True when the path names a file that can be opened for reading.
bool CanOpenForReading(const std::filesystem::path& file);

// The size of a file that can be opened for reading.
std::optional<std::uint64_t> GetFileSize(const std::filesystem::path& file);

// The last-write time of a file that can be opened for reading.
HResult GetFileWriteTime(const std::filesystem::path& file, FileTime& time);

// Creates one directory. A directory that already exists counts as success.
HResult MakeDirectory(const std::filesystem::path& directory);

// Creates a fresh empty file in the user's temporary directory whose name
// begins with prefix. Its path, or nothing when none could be created.
std::optional<std::filesystem::path> CreateTempFile(std::string_view prefix);

// Deletes a file. True when it is gone.
bool RemoveFile(const std::filesystem::path& file);

// When the new name of a replaced file reaches the disk.
enum class NameDurability {
  Immediate,  // before ReplaceFile returns
  Deferred,   // once SyncFolder of the target's folder returns (on Windows at once)
};

// Puts source in the place of target in one atomic step: target, if it
// exists, is replaced whole; until then it stays untouched. Once it returns
// kOk, the new name survives a power cut (Immediate), or will once the
// folder is synced (Deferred: a power cut before that may leave the old
// file in place, whole). On POSIX the file takes the permission bits of the
// file it replaces; one that replaces nothing gets 0755 when executable,
// else 0644.
HResult ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target,
                    bool executable, NameDurability durability = NameDurability::Immediate);

// Makes the names in folder that deferred replacements left (and any other
// change to its entries) survive a power cut. Nothing to do on Windows,
// whose replacements write through.
void SyncFolder(const std::filesystem::path& folder);

// True when file, with every link on the part of its path that exists
// followed, still lies inside base (itself resolved the same way).
bool ResolvesWithin(const std::filesystem::path& base, const std::filesystem::path& file);

// True when the last name of the path is itself a link (on Windows: any
// reparse point), or when that cannot be told; false when it is none or
// nothing is there. Whatever lies on the path before that name is followed.
bool IsLink(const std::filesystem::path& file);

// False only when folder was listed whole and none of its entries is a link
// (on Windows: a reparse point) or of a kind the listing leaves untold: then
// no name in it is a link, however it is spelt. True otherwise, also when
// folder does not exist or cannot be listed. One listing instead of a look
// at every name, for folders that hold many files.
bool MayHoldLinks(const std::filesystem::path& folder);

// True when the file exists and may not be written (on POSIX: its owner
// write bit is clear; on Windows: its read-only attribute is set).
bool IsReadOnly(const std::filesystem::path& file);

// The directory of the running program.
std::filesystem::path ProgramDirectory();

// The system's Windows folder and system folder, where the system has them
// (Windows); nothing elsewhere.
std::optional<std::filesystem::path> WindowsDirectory();
std::optional<std::filesystem::path> SystemDirectory();

}  // namespace varo::platform
