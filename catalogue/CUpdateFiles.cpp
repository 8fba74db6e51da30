#include "catalogue/CUpdateFiles.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/DeviceName.h"
#include "catalogue/FolderConfinement.h"
#include "common/AsciiText.h"
#include "common/DecimalText.h"
#include "common/Utf8Path.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/XmlReader.h"

namespace varo {
namespace {

bool ReadFlag(std::string_view text) {
  return EqualsIgnoringAsciiCase(text, "YES");
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A signed decimal number as the list writes it: leading blanks, an optional
// sign, then the digits up to the first other character; no digits give 0, and
// a value beyond [lowest, highest] is clamped to it.
std::int64_t ReadNumber(std::string_view text, std::int64_t lowest, std::int64_t highest) {
  // The magnitude of the lowest 64-bit value; larger magnitudes stop there.
  constexpr std::uint64_t kMagnitudeLimit = std::uint64_t{1} << 63;
  std::size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) {
    ++at;
  }
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  std::uint64_t magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const auto digit = static_cast<std::uint64_t>(text[at] - '0');
    magnitude =
        magnitude > (kMagnitudeLimit - digit) / 10 ? kMagnitudeLimit : magnitude * 10 + digit;
  }
  std::int64_t value = 0;
  if (negative) {
    value = magnitude == kMagnitudeLimit ? std::numeric_limits<std::int64_t>::min()
                                         : -static_cast<std::int64_t>(magnitude);
  } else {
    value = magnitude == kMagnitudeLimit ? std::numeric_limits<std::int64_t>::max()
                                         : static_cast<std::int64_t>(magnitude);
  }
  return std::clamp(value, lowest, highest);
}

// A 32-bit half of a file time, stored bit for bit: numbers beyond the
// signed 32-bit range are clamped to it first.
std::uint32_t ReadTimeHalf(std::string_view text) {
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(ReadNumber(
      text, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max())));
}

// One field of an entry: Set takes the child's text into the record, and
// returns false when the text makes the entry unusable.
struct ListField {
  std::string_view Name;
  bool (*Set)(CUpdateFile& record, std::string&& text);
};

template <std::string CUpdateFile::*Member>
bool SetText(CUpdateFile& record, std::string&& text) {
  record.*Member = std::move(text);
  return true;
}

template <bool CUpdateFile::*Member>
bool SetFlag(CUpdateFile& record, std::string&& text) {
  record.*Member = ReadFlag(text);
  return true;
}

bool SetLength(CUpdateFile& record, std::string&& text) {
  record.Length = ReadNumber(text, std::numeric_limits<std::int64_t>::min(),
                             std::numeric_limits<std::int64_t>::max());
  return true;
}

template <std::uint32_t platform::FileTime::*Half>
bool SetTimeHalf(CUpdateFile& record, std::string&& text) {
  record.FileTime.*Half = ReadTimeHalf(text);
  return true;
}

// A hash that cannot be read makes the entry unusable: it is never
// installed unchecked.
bool SetSha256(CUpdateFile& record, std::string&& text) {
  record.Sha256 = platform::ParseSha256Hex(text);
  return record.Sha256.has_value();
}

constexpr ListField kListFields[] = {
    {"FileName", SetText<&CUpdateFile::FileName>},
    {"FileVersion", SetText<&CUpdateFile::FileVersion>},
    {"ProductVersion", SetText<&CUpdateFile::ProductVersion>},
    {"Length", SetLength},
    {"FileDateLow", SetTimeHalf<&platform::FileTime::Low>},
    {"FileDateHigh", SetTimeHalf<&platform::FileTime::High>},
    {"InstallDir", SetText<&CUpdateFile::InstallDir>},
    {"Register", SetFlag<&CUpdateFile::Register>},
    {"ZipFile", SetFlag<&CUpdateFile::ZipFile>},
    {"ForceOverwrite", SetFlag<&CUpdateFile::ForceOverwrite>},
    {"Execute", SetFlag<&CUpdateFile::Execute>},
    {"ExecutePar", SetText<&CUpdateFile::ExecutePar>},
    {"LocalPath", SetText<&CUpdateFile::LocalPath>},
    {"URL", SetText<&CUpdateFile::URL>},
    {"UserName", SetText<&CUpdateFile::UserName>},
    {"Password", SetText<&CUpdateFile::Password>},
    {"Sha256", SetSha256},
};

// The root's attribute that gives the list's sequence number.
constexpr std::string_view kSequenceAttribute = "Sequence";

// Takes the child's text when its name is one of the list's fields; false
// when the text makes the entry unusable.
bool ApplyChild(CUpdateFile& record, platform::XmlChild& child) {
  for (const ListField& field : kListFields) {
    if (EqualsIgnoringAsciiCase(child.Name, field.Name)) {
      return field.Set(record, std::move(child.Text));
    }
  }
  return true;
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// A folder name that means the parent folder: "..", and, since Windows drops
// trailing dots and blanks from names, any name of only dots and blanks with
// at least two dots.
bool IsParentReference(std::string_view part) {
  return part.find_first_not_of(". ") == std::string_view::npos &&
         std::count(part.begin(), part.end(), '.') >= 2;
}

// Characters that Windows refuses in a file name (besides the separators and
// the colon, which are dealt with apart): they would let a name mean more
// than a name where it is passed on, quoted, to another program.
bool IsForbiddenInName(char c) {
  return static_cast<unsigned char>(c) < 0x20 ||
         std::string_view("\"<>|?*").find(c) != std::string_view::npos;
}

// Appends the folder names of a "LocalPath" or "FileName" text to relative,
// each after the system's separator when relative is not empty; empty names
// and "." are skipped. False when the text could lead out of its base
// directory, or holds a name that is no plain file name on every system we
// run on.
bool AppendListPath(std::string_view text, std::string& relative) {
  if (text.find(':') != std::string_view::npos || (!text.empty() && IsSeparator(text.front()))) {
    return false;
  }
  constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
  while (!text.empty()) {
    const auto end = std::find_if(text.begin(), text.end(), IsSeparator);
    const std::string_view part(text.begin(), end);
    if (IsParentReference(part) || std::any_of(part.begin(), part.end(), IsForbiddenInName) ||
        IsDeviceName(part)) {
      return false;
    }
    if (!part.empty() && part != ".") {
      if (!relative.empty()) {
        relative += kSeparator;
      }
      relative += part;
    }
    text.remove_prefix(end == text.end() ? text.size() : part.size() + 1);
  }
  return true;
}

// True when the last folder name of a "FileName" text names a file: it is
// neither empty (the text ends in a separator) nor ".".
bool NamesAFile(std::string_view fileName) {
  const auto last = std::find_if(fileName.rbegin(), fileName.rend(), IsSeparator);
  const std::string_view name(last.base(), fileName.end());
  return !name.empty() && name != ".";
}

// The full local path of a listed record below base; nothing when the entry
// may not be used.
std::optional<std::filesystem::path> ResolveLocalFile(const std::filesystem::path& base,
                                                      const CUpdateFile& record) {
  std::string relative;
  if (!AppendListPath(record.LocalPath, relative) || !AppendListPath(record.FileName, relative) ||
      !NamesAFile(record.FileName)) {
    return std::nullopt;
  }
  return base / PathFromUtf8(relative);
}

}  // namespace

CUpdateFiles::CUpdateFiles() : CUpdateFiles(platform::ProgramDirectory()) {}

CUpdateFiles::CUpdateFiles(std::filesystem::path moduleDir,
                           std::optional<std::filesystem::path> windowsDir,
                           std::optional<std::filesystem::path> systemDir)
    : ModuleDir(std::move(moduleDir)),
      WindowsDir(std::move(windowsDir)),
      SystemDir(std::move(systemDir)) {}

bool CUpdateFiles::Load(const std::filesystem::path& file) {
  std::lock_guard guard(Lock());
  RemoveAll();
  Sequence.reset();
  auto document = platform::ReadXmlDocument(file, "File", kSequenceAttribute, MaxListBytes);
  if (!document) {
    return false;
  }
  if (document->RootAttribute) {
    Sequence = ParseUnsignedDecimal(*document->RootAttribute);
    if (!Sequence) {
      return false;
    }
  }
  // Each folder is checked for links once per list and base directory.
  FolderConfinement inModuleDir(ModuleDir);
  std::optional<FolderConfinement> inWindowsDir;
  std::optional<FolderConfinement> inSystemDir;
  if (WindowsDir) {
    inWindowsDir.emplace(*WindowsDir);
  }
  if (SystemDir) {
    inSystemDir.emplace(*SystemDir);
  }
  for (platform::XmlEntry& entry : document->Entries) {
    auto record = std::make_unique<CUpdateFile>();
    bool usable = true;
    for (platform::XmlChild& child : entry) {
      // Every child is taken, so that the last of a name wins as before;
      // one unusable text spoils the entry whatever follows.
      usable = ApplyChild(*record, child) && usable;
    }
    if (!usable) {
      continue;
    }
    const std::filesystem::path* base = &ModuleDir;
    FolderConfinement* confinement = &inModuleDir;
    if (EqualsIgnoringAsciiCase(record->InstallDir, "WINDOWSDIR")) {
      base = WindowsDir ? &*WindowsDir : nullptr;
      confinement = inWindowsDir ? &*inWindowsDir : nullptr;
    } else if (EqualsIgnoringAsciiCase(record->InstallDir, "SYSTEMDIR")) {
      base = SystemDir ? &*SystemDir : nullptr;
      confinement = inSystemDir ? &*inSystemDir : nullptr;
    }
    if (base == nullptr || confinement == nullptr) {
      continue;
    }
    auto local = ResolveLocalFile(*base, *record);
    // A link on the way (a folder, or the file itself) must not lead out of
    // the base directory either.
    if (!local || !confinement->Contains(*local)) {
      continue;
    }
    record->LocalFile = std::move(*local);
    AddTail(std::move(record));
  }
  return true;
}

std::size_t CUpdateFiles::RemoveUpToDate() {
  return RemoveUnless([this](CUpdateFile& record) { return record.CheckUpdate(Verify); });
}

std::size_t CUpdateFiles::RemoveUpToDate(const std::function<void(const CUpdateFile&)>& upToDate) {
  return RemoveUnless([&](CUpdateFile& record) {
    const bool keep = record.CheckUpdate(Verify);
    if (!keep) {
      upToDate(record);
    }
    return keep;
  });
}

std::uint64_t CUpdateFiles::GetTotalLength() const {
  std::uint64_t total = 0;
  ForEach([&total](const CUpdateFile& record) {
    if (record.NeedUpdate && record.Length > 0) {
      const auto length = static_cast<std::uint64_t>(record.Length);
      total = length > std::numeric_limits<std::uint64_t>::max() - total
                  ? std::numeric_limits<std::uint64_t>::max()
                  : total + length;
    }
  });
  return total;
}

}  // namespace varo
