#include "update/ListLoader.h"

#include <utility>

namespace varo {

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
