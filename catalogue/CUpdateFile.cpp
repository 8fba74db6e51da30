#include "catalogue/CUpdateFile.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "common/Utf8Path.h"

namespace varo {
namespace {

// "%u.%u.%u.%u" of the four 16-bit parts of a version held in two words.
std::string FormatVersion(std::uint32_t mostSignificant, std::uint32_t leastSignificant) {
  return std::to_string(mostSignificant >> 16) + '.' + std::to_string(mostSignificant & 0xFFFF) +
         '.' + std::to_string(leastSignificant >> 16) + '.' +
         std::to_string(leastSignificant & 0xFFFF);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool IsNumber(std::string_view part) {
  for (char c : part) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;  // the empty part is the number 0
}

int Sign(int value) {
  return (value > 0) - (value < 0);
}

// Digit strings of any length, by value: without leading zeros the longer
// is the greater, and equal lengths compare digit by digit.
int CompareNumbers(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) {
    return a.size() < b.size() ? -1 : 1;
  }
  return Sign(a.compare(b));
}

unsigned char FoldAsciiCase(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

// Text by byte value (code point order for UTF-8), ASCII letters without
// regard to case; a prefix sorts before the longer text.
int CompareTexts(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char x = FoldAsciiCase(a[i]);
    const unsigned char y = FoldAsciiCase(b[i]);
    if (x != y) {
      return x < y ? -1 : 1;
    }
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int CompareParts(std::string_view a, std::string_view b) {
  if (IsNumber(a) && IsNumber(b)) {
    return CompareNumbers(a, b);
  }
  // A part that is no number is ordered as text; a missing or empty part
  // stands for 0.
  return CompareTexts(a.empty() ? "0" : a, b.empty() ? "0" : b);
}

// The next dot-separated part of text, blanks around it removed; text is
// left after the dot.
std::string_view NextPart(std::string_view& text) {
  const std::size_t dot = text.find('.');
  const std::string_view part = text.substr(0, dot);
  text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  return Trim(part);
}

}  // namespace

CUpdateFile::CUpdateFile(std::filesystem::path localFile) : LocalFile(std::move(localFile)) {}

bool CUpdateFile::ReadLocalState() {
  if (LocalFile.empty()) {
    return false;
  }
  bool read = false;
  if (const std::optional<std::uint64_t> size = platform::GetFileSize(LocalFile)) {
    Length = static_cast<std::int64_t>(*size);
    FileName = PathToUtf8(LocalFile.filename());
    read = platform::Succeeded(ReadVersionInfo(*this, LocalFile));
  }
  if (platform::Succeeded(GetLastWriteTime(LocalFile, FileTime))) {
    read = true;
  }
  return read;
}

bool CUpdateFile::CheckUpdate(bool verify) {
  // One look at the file tells whether it can be opened for reading and
  // gives its last-write time; its size and name take no part, and its
  // version resource is read only when the list gives a version.
  platform::FileTime written;
  if (!platform::Succeeded(GetLastWriteTime(LocalFile, written))) {
    NeedUpdate = true;
    Reason = "missing";
    return NeedUpdate;
  }
  if (FileVersion.empty()) {
    if (platform::CompareFileTimes(written, FileTime) < 0) {
      NeedUpdate = true;
      Reason = "older time";
      return NeedUpdate;
    }
  } else {
    // A file without a readable version resource has no version, which is
    // lower than any.
    platform::FixedFileInfo info;
    const std::string local = platform::Succeeded(platform::ReadFixedFileInfo(LocalFile, info))
                                  ? FormatVersion(info.FileVersionMS, info.FileVersionLS)
                                  : std::string();
    if (CompareVersions(local, FileVersion) < 0) {
      NeedUpdate = true;
      Reason = "older version " + (local.empty() ? std::string("none") : local) + " < " +
               std::string(Trim(FileVersion));
      return NeedUpdate;
    }
  }
  if (verify && Sha256 && !NeedUpdate) {
    // A file that cannot be read whole cannot be shown to be current.
    const std::optional<platform::FileDigest> content = platform::HashFile(LocalFile);
    if (!content || content->Digest != *Sha256) {
      NeedUpdate = true;
      Reason = "hash differs";
    }
  }
  return NeedUpdate;
}

platform::HResult ReadVersionInfo(CUpdateFile& record, const std::filesystem::path& file) {
  platform::FixedFileInfo info;
  const platform::HResult result = platform::ReadFixedFileInfo(file, info);
  if (!platform::Succeeded(result)) {
    return result;
  }
  record.FixedInfo = info;
  record.FileVersion = FormatVersion(info.FileVersionMS, info.FileVersionLS);
  record.ProductVersion = FormatVersion(info.ProductVersionMS, info.ProductVersionLS);
  return platform::kOk;
}

platform::HResult GetLastWriteTime(const std::filesystem::path& file, platform::FileTime& time) {
  return platform::GetFileWriteTime(file, time);
}

bool FileExists(const std::filesystem::path& file) {
  return platform::CanOpenForReading(file);
}

int CompareVersions(std::string_view a, std::string_view b) {
  a = Trim(a);
  b = Trim(b);
  // No version at all is lower than any version, even "0": a file whose
  // version cannot be read is never taken to be current.
  if (a.empty() || b.empty()) {
    return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  }
  while (!a.empty() || !b.empty()) {
    const int order = CompareParts(NextPart(a), NextPart(b));
    if (order != 0) {
      return order;
    }
  }
  return 0;
}

}  // namespace varo
