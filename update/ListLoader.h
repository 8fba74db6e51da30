#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/CUpdateFiles.h"
#include "platform/MessagePoster.h"
#include "transfer/COrlanThread.h"

namespace varo {

// Posted by a ListLoader when its run is over. wParam: 1 when the list
// loaded, 0 when it is no update list; lParam: the loader.
inline constexpr std::uint32_t WM_LIST_LOADED = 1127;

// Loads a downloaded update list and compares every entry with the disk on
// a worker thread of its own, so that a list of many thousand entries never
// holds the window's thread; then posts WM_LIST_LOADED to its window, as
// the run's last act. The window's thread owns the object; it reads Files
// and Loaded only once it has received that message.
class ListLoader : public COrlanThread {
 public:
  ListLoader(platform::MessagePoster& window, std::filesystem::path list,
             std::filesystem::path moduleDir, std::optional<std::filesystem::path> windowsDir,
             std::optional<std::filesystem::path> systemDir);
  // Waits for a run in progress to end.
  ~ListLoader() override;

  // Starts the run; false when no thread could be made (nothing happens then).
  bool Start();
  // The same work on the calling thread, without a message: for a window
  // that could not start a thread.
  void LoadHere();

  // The entries that need an update, in list order; written by the run.
  // Files.Verify may be set before Start.
  CUpdateFiles Files;
  // Whether the list loaded; written by the run.
  bool Loaded = false;
  // The names (folders and file, as listed) of the entries found up to
  // date; written by the run, for the run log.
  std::vector<std::string> UpToDate;

 protected:
  void Run() override;

 private:
  platform::MessagePoster& Window;
  const std::filesystem::path List;
};

}  // namespace varo
