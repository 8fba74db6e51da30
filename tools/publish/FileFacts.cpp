#include "tools/publish/FileFacts.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include "catalogue/CUpdateFile.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Result.h"
#include "tools/publish/ListName.h"
#include "tools/publish/UrlPath.h"

namespace varo::publish {
namespace {

std::string ErrorText(platform::HResult result) {
  // The low 16 bits of a failure code made from an errno hold the errno.
  return std::generic_category().message(
      static_cast<int>(static_cast<std::uint32_t>(result) & 0xFFFF));
}

}  // namespace

std::optional<ListEntry> DescribeFile(const ReleaseFile& file, const std::string& baseUrl,
                                      std::string& error) {
  ListEntry entry;
  entry.FileName = file.Names.back();
  for (std::size_t i = 0; i + 1 < file.Names.size(); ++i) {
    entry.LocalPath += (i > 0 ? "\\" : "") + file.Names[i];
  }
  entry.Url = JoinUrl(baseUrl, file.Names);

  errno = 0;
  const auto digest = platform::HashFile(file.Path);
  if (!digest) {
    error = "cannot read " + Printable(file.RelativePath());
    if (errno != 0) {
      error += std::string(": ") + std::generic_category().message(errno);
    }
    return std::nullopt;
  }
  entry.Length = digest->Size;
  entry.Sha256 = platform::ToHex(digest->Digest);

  // The updater's own reading of a version resource, so that the texts
  // compare equal with those of the installed file.
  CUpdateFile versions;
  if (platform::Succeeded(ReadVersionInfo(versions, file.Path))) {
    entry.FileVersion = versions.FileVersion;
    entry.ProductVersion = versions.ProductVersion;
    return entry;
  }
  platform::FileTime time;
  const platform::HResult result = platform::GetFileWriteTime(file.Path, time);
  if (!platform::Succeeded(result)) {
    error = "cannot read the time of " + Printable(file.RelativePath()) + ": " + ErrorText(result);
    return std::nullopt;
  }
  entry.Time = time;
  return entry;
}

}  // namespace varo::publish
