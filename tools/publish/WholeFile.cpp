#include "tools/publish/WholeFile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/FileSystem.h"
#include "platform/OutputFile.h"
#include "platform/Result.h"
#include "tools/publish/ListName.h"

namespace varo::publish {
namespace {

std::string ErrorText(platform::HResult result) {
  // The low 16 bits of a failure code made from an errno hold the errno.
  return std::generic_category().message(
      static_cast<int>(static_cast<std::uint32_t>(result) & 0xFFFF));
}

}  // namespace

std::filesystem::path WholeFile::TemporaryFor(const std::filesystem::path& target) {
  return target.string() + ".partial";
}

WholeFile::WholeFile(std::filesystem::path target)
    : Target(std::move(target)), Temporary(TemporaryFor(Target)) {}

WholeFile::~WholeFile() {
  if (Pending) {
    platform::RemoveFile(Temporary);
  }
}

bool WholeFile::Write(std::string_view bytes, std::string& error) {
  platform::OutputFile file;
  const platform::HResult created = file.Create(Temporary);
  if (!platform::Succeeded(created)) {
    error = "cannot write " + Printable(Temporary.string()) + ": " + ErrorText(created);
    return false;
  }
  Pending = true;
  if (!file.Write(bytes.data(), bytes.size()) || !file.Close(true)) {
    error = "cannot write " + Printable(Temporary.string()) + ": " +
            std::generic_category().message(errno);
    return false;
  }
  return true;
}

bool WholeFile::Commit(std::string& error) {
  const platform::HResult replaced = platform::ReplaceFile(Temporary, Target, false);
  if (!platform::Succeeded(replaced)) {
    error = "cannot put " + Printable(Target.string()) + " in place: " + ErrorText(replaced);
    return false;
  }
  Pending = false;
  return true;
}

}  // namespace varo::publish
