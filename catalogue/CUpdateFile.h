#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Crypto.h"
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

  // Decides whether the listed file must be downloaded; sets NeedUpdate and
  // Reason when it must (never clears either) and returns NeedUpdate. A file
  // is downloaded when it cannot be opened for reading ("missing"), when the
  // list gives a version and the file's is lower ("older version A < B",
  // A "none" for a file without a readable version resource), or when the
  // list gives no version and the file was written before the listed time
  // ("older time"). With verify, a file that is current by those rules but
  // whose content does not have the listed Sha256 (or cannot be read whole)
  // is downloaded too ("hash differs"); without verify, or without a listed
  // Sha256, no file is read.
  bool CheckUpdate(bool verify = false);

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
  // Whether the download of this entry takes a side file of the hashed
  // form: set by the loader of the list where the plain side file's name,
  // or its resume record's, is that of another entry's file.
  bool HashedSideName = false;
  std::string URL;
  std::string UserName;
  std::string Password;
  bool NeedUpdate = false;
  // The SHA-256 of the listed file's content, when the list gives one; the
  // downloaded file must have it before it is installed.
  std::optional<platform::Sha256Digest> Sha256;
  // Why CheckUpdate keeps the file for download, for the run's log; empty
  // while nothing asked for it.
  std::string Reason;
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
