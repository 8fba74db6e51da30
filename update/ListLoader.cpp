#include "update/ListLoader.h"

#include <string>
#include <unordered_set>
#include <utility>

#include "common/AsciiText.h"
#include "common/Utf8Path.h"
#include "transfer/CInetFile.h"
#include "transfer/ResumeRecord.h"

namespace varo {
namespace {

// A path's UTF-8 text with ASCII letters in lower case and every other
// character replaced by one placeholder: names that Windows takes for the
// same file have the same key. Windows also folds the case of letters
// beyond ASCII (by a table of its own), so they all compare alike here;
// names that only differ there share a key without being the same file,
// which costs at most a hashed side name where a plain one would have done.
std::string NameKey(const std::filesystem::path& path) {
  constexpr char kOtherCharacter = '\x80';
  const std::string text = PathToUtf8(path);
  std::string key;
  key.reserve(text.size());
  for (const char byte : text) {
    const auto code = static_cast<unsigned char>(byte);
    if (code < 0x80) {
      key += ToLowerAscii(byte);
    } else if ((code & 0xC0) != 0x80) {  // the first byte of a character
      key += kOtherCharacter;
    }
  }
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
// entry's file. Names match without regard to case, as on Windows (see
// NameKey); elsewhere that costs at most a hashed name where a plain one
// would have done. Only listed names that end like a side file can be one;
// a list without such names costs a look at each name.
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
