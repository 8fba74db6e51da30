#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "catalogue/CUpdateFile.h"
#include "common/LockedPtrList.h"

namespace varo {

// The parsed update list: one record per "File" element of the document, in
// document order. RemoveHead and RemoveAll come from the list itself.
//
// The local file of a record is ModuleDir, then the folders of "LocalPath",
// then those of "FileName"; a backslash (or a slash) separates folders and
// empty folder names are skipped. An entry that would land outside its base
// directory (a rooted name, a drive letter or any colon, a ".." folder, a
// link on the disk that leads out), that names no file, or whose names hold
// a character Windows forbids in file names or are device names (CON,
// NUL.txt, COM1, ...) is dropped from the list. So is an entry whose
// "InstallDir" asks for the Windows or the system directory when this list
// was not given that directory, and an entry whose "Sha256" is not exactly
// 64 hexadecimal digits: a file whose hash cannot be checked is never
// installed. Without "Sha256" an entry has no hash to check.
//
// The root element may give the list's sequence number in its attribute
// "Sequence" (exactly so named): a decimal number of at most 64 bits, digits
// only. A list whose root gives it in any other form fails to load.
class CUpdateFiles : public LockedPtrList<CUpdateFile> {
 public:
  // The largest update list that is read; a larger file fails to load.
  static constexpr std::size_t MaxListBytes = 32u << 20;

  // Base directory: the running program's directory.
  CUpdateFiles();
  // Base directories given by the caller; WINDOWSDIR and SYSTEMDIR entries
  // apply only where the matching directory is given.
  explicit CUpdateFiles(std::filesystem::path moduleDir,
                        std::optional<std::filesystem::path> windowsDir = std::nullopt,
                        std::optional<std::filesystem::path> systemDir = std::nullopt);

  // Empties the list, then appends a record for every applicable entry of
  // the update list in file and sets Sequence. False, with the list empty
  // and no Sequence, when the file cannot be read, is no well-formed
  // document or gives a malformed sequence.
  bool Load(const std::filesystem::path& file);

  // Checks every record against the disk (CUpdateFile::CheckUpdate, with
  // Verify) and destroys those that need no update; the others keep their
  // order. Returns how many are left.
  std::size_t RemoveUpToDate();
  // The same, handing the name of each record that is up to date to
  // upToDate before it goes.
  std::size_t RemoveUpToDate(const std::function<void(const CUpdateFile&)>& upToDate);

  // The sum of the lengths above 0 of the records that need an update (a
  // length of 0 or below is unknown and counts nothing); it stops at the
  // largest 64-bit value.
  std::uint64_t GetTotalLength() const;

  const std::filesystem::path ModuleDir;
  const std::optional<std::filesystem::path> WindowsDir;
  const std::optional<std::filesystem::path> SystemDir;

  // The sequence number on the root of the list loaded last, if it has one.
  // Written by Load; read by the thread that loaded, or by another once it
  // knows the load is over.
  std::optional<std::uint64_t> Sequence;
  // Whether RemoveUpToDate also keeps files whose content differs from the
  // listed Sha256. Set by the owner before RemoveUpToDate runs (before the
  // thread that runs it is started); only read there.
  bool Verify = false;
};

}  // namespace varo
