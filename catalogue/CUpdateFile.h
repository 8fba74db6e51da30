#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Result.h"
#include "platform/VersionReader.h"

namespace varo {

// One entry of the update list, and also the holder of the state of a file
// on disk (ReadLocalState).
class CUpdateFile {
 public:
  explicit CUpdateFile(std::filesystem::path localFile = {});
  virtual ~CUpdateFile() = default;

  // Fills Length, FileName, FixedInfo, FileVersion, ProductVersion and
  // FileTime from the file at LocalFile. True when the version resource or
  // the last-write time could be read.
  bool ReadLocalState();

  // Decides whether the listed file must be downloaded; sets NeedUpdate when
  // it must (never clears it) and returns NeedUpdate.
  bool CheckUpdate();

  platform::FixedFileInfo FixedInfo{};
  std::int64_t Length = 0;
  std::string FileName;
  std::string FileVersion;
  std::string ProductVersion;
  bool Register = false;
  std::string InstallDir = "CURRENTDIR";
  bool ZipFile = false;
  bool ForceOverwrite = false;
  bool Execute = false;
  std::string ExecutePar;
  std::string LocalPath;
  platform::FileTime FileTime{};
  std::filesystem::path LocalFile;
  std::string URL;
  std::string UserName;
  std::string Password;
  bool NeedUpdate = false;
};

// Fills record's FixedInfo, FileVersion and ProductVersion ("%u.%u.%u.%u")
// from the version resource of file.
platform::HResult ReadVersionInfo(CUpdateFile& record, const std::filesystem::path& file);

// The last-write time of a file that can be opened for reading.
platform::HResult GetLastWriteTime(const std::filesystem::path& file, platform::FileTime& time);

// True when the file can be opened for reading.
bool FileExists(const std::filesystem::path& file);

// Orders two version texts as dotted numbers, part by part: a missing part is
// 0, and a part that is not a number compares as text without regard to ASCII
// case. Negative, 0 or positive as a is lower than, equal to or higher than b.
int CompareVersions(std::string_view a, std::string_view b);

}  // namespace varo
