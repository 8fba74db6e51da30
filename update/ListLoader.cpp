#include "update/ListLoader.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>

#include "common/AsciiText.h"
#include "common/Utf8Path.h"
#include "transfer/CInetFile.h"
#include "transfer/ResumeRecord.h"

namespace varo {
namespace {

// A path's UTF-8 text with ASCII letters in lower case: names that Windows
// takes for the same file have the same key.
std::string NameKey(const std::filesystem::path& path) {
  std::string key = PathToUtf8(path);
  std::transform(key.begin(), key.end(), key.begin(), ToLowerAscii);
  return key;
}

// Whether a file's name ends like a side file or a resume record.
bool EndsLikeASideName(const std::filesystem::path& file) {
  const std::string extension = NameKey(file.extension());
  return extension == ".update" || extension == ".resume";
}

// Marks the entries whose plain side file, or its resume record, has the
// name of a file that the list itself installs: their downloads take side
// files of the hashed form, so that they never overwrite or remove another
// entry's file. Names match without regard to the case of ASCII letters,
// as on Windows; elsewhere that costs at most a hashed name where a plain
// one would have done. Only listed names that end like a side file can be
// one; a list without such names costs a look at each name.
void AvoidListedNames(CUpdateFiles& files) {
  std::unordered_set<std::string> listed;
  files.ForEach([&listed](const CUpdateFile& entry) {
    if (EndsLikeASideName(entry.LocalFile)) {
      listed.insert(NameKey(entry.LocalFile));
    }
  });
  if (listed.empty()) {
    return;
  }
  files.ForEach([&listed](CUpdateFile& entry) {
    const std::filesystem::path side = DownloadedFileOf(entry.LocalFile);
    entry.HashedSideName =
        listed.contains(NameKey(side)) || listed.contains(NameKey(ResumeFileOf(side)));
  });
}

}  // namespace

ListLoader::ListLoader(platform::MessagePoster& window, std::filesystem::path list,
                       std::filesystem::path moduleDir,
                       std::optional<std::filesystem::path> windowsDir,
                       std::optional<std::filesystem::path> systemDir)
    : Files(std::move(moduleDir), std::move(windowsDir), std::move(systemDir)),
      Window(window),
      List(std::move(list)) {}

ListLoader::~ListLoader() {
  StopThread();
}

bool ListLoader::Start() {
  return StartThread();
}

void ListLoader::LoadHere() {
  Loaded = Files.Load(List);
  if (Loaded) {
    // Before the entries that are up to date go: their files count too.
    AvoidListedNames(Files);
    Files.RemoveUpToDate([this](const CUpdateFile& record) {
      UpToDate.push_back(record.LocalPath.empty() ? record.FileName
                                                  : record.LocalPath + "\\" + record.FileName);
    });
  }
}

void ListLoader::Run() {
  LoadHere();
  Window.Post({WM_LIST_LOADED, Loaded ? 1u : 0u, reinterpret_cast<std::intptr_t>(this)});
}

}  // namespace varo
