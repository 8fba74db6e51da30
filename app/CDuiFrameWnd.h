#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/CServers.h"
#include "catalogue/CUpdateFiles.h"
#include "platform/Shell.h"
#include "platform/Window.h"
#include "transfer/CInetFiles.h"
#include "update/InstalledFolders.h"
#include "update/ListLoader.h"
#include "update/RunLog.h"

namespace varo {

// The tray icon's callback message; clicks on the icon change nothing.
inline constexpr std::uint32_t WM_TRAYICON = 1126;

// The main window of the updater and the owner of all state of a run. All of
// it lives on the window's thread: the timer, the progress and the completion
// handlers run there, each under ProgressLock; download jobs reach it only by
// the messages they post.
class CDuiFrameWnd : public platform::WindowHandler {
 public:
  CDuiFrameWnd(platform::Window& window, platform::Shell& shell,
               std::filesystem::path programDirectory);
  CDuiFrameWnd(const CDuiFrameWnd&) = delete;
  CDuiFrameWnd& operator=(const CDuiFrameWnd&) = delete;
  // Running jobs are cancelled and waited for before anything else goes,
  // then the update list's temporary file, if one is left, is removed.
  ~CDuiFrameWnd() override;

  std::intptr_t HandleMessage(std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
  void Notify(std::string_view type, platform::Control& sender) override;

  // Start-up, once, from WM_CREATE: servers, tray icon, the first fetch.
  bool OnInit();
  std::intptr_t OnNcHitTest(std::intptr_t lParam);

  // The 200 ms tick: the display, the checking sequence, the job start.
  void OnTimer();
  // Starts the head job of the queue unless it has been started, the window
  // is closing or MaxRunningJobs run; a job whose thread cannot be made
  // completes the usual way, as a failure. Callers hold ProgressLock.
  void StartNextJob();
  // A chunk of a download has arrived.
  void OnInetFileProgress(std::uintptr_t wParam, std::intptr_t lParam);

  // The update controller.
  void BeginUpdate();
  // Fetches the update list from server (the first one when null).
  void DownloadUpdateList(const CServer* server = nullptr);
  // The next configured server to ask for the list after ListServer
  // failed, one with another URL than every server asked so far; null when
  // there is none.
  const CServer* NextListServer() const;
  std::intptr_t OnInetFileComplete(std::uintptr_t wParam, std::intptr_t lParam);
  // The downloaded update list has been read and compared with the disk.
  void OnListLoaded(bool loaded, const ListLoader* loader);
  // Neither a download nor the reading of the list is under way.
  bool Idle() const { return RunningJobs == 0 && Loader == nullptr; }
  // Puts a downloaded file in place and starts or registers it. False when
  // it could not be put in place.
  bool InstallFile(const CInetFile& job);

  // The skin's resource folder and its file.
  std::filesystem::path ResourceDirectory() const;

  platform::Window& Window;
  platform::Shell& Shell;
  const std::filesystem::path ProgramDirectory;

  platform::Control* InfoLabel = nullptr;
  platform::Control* ProgressLabel = nullptr;
  platform::Control* EachProgress = nullptr;
  platform::Control* TotalProgress = nullptr;

  // Counters, guarded by ProgressLock.
  std::uint32_t FilePercent = 0;
  std::uint32_t TotalPercent = 0;
  std::int32_t LastSampleTime = 0;
  std::uint64_t LastSampleBytes = 0;
  std::int32_t Speed = 0;
  std::uint32_t FileCount = 0;
  std::uint64_t TotalBytes = 0;
  std::uint64_t DownloadedBytes = 0;
  // Ticks of the checking sequence, two per tick that finds FileCount 0.
  std::int32_t CheckTicks = 0;

  // Recursive: an error box opened by the completion handler keeps
  // delivering ticks and progress on the same thread, which take it again.
  std::recursive_mutex ProgressLock;
  CServers Servers;
  CUpdateFiles UpdateFiles;
  CInetFiles InetFiles;

  const std::uint32_t MaxRunningJobs = 5;
  std::uint32_t RunningJobs = 0;  // guarded by ProgressLock
  // Set once the run or the close button has asked the window to close: no
  // further job starts.
  bool ClosePosted = false;
  // "StartNextAtOnce=1" under [Update] of the configuration file, read at
  // start-up: the completion handler starts the next queued job itself
  // instead of leaving it to the next tick.
  bool StartNextAtOnce = false;
  // Set once the update list has been handled (its downloads queued) or
  // there is no server to fetch it from: only then may the checking
  // sequence count towards the end of the run.
  bool ListHandled = false;
  // Set from the command line before the window is created: installed
  // files whose content differs from the listed hash are fetched again.
  bool VerifyFiles = false;
  // The client is started at most once per run.
  bool ClientStarted = false;
  // Error boxes of the run now open; the run is not ended behind one.
  int OpenBoxes = 0;
  // The update list's temporary file while it exists.
  std::filesystem::path ListFile;
  // The key that update lists must be signed with ("PublicKey=" of the
  // configuration); none when lists are not signed.
  std::optional<std::vector<std::uint8_t>> ListKey;
  // The list's signature, fetched to a temporary file while it exists.
  std::filesystem::path SignatureFile;
  // The server the update list is being fetched from (owned by Servers).
  const CServer* ListServer = nullptr;
  // The support log of this run, ADImage/update.log; written out at most
  // once a second by the tick, and when the run ends.
  RunLog Log;
  std::int32_t LastLogFlush = 0;
  // The folders of the files installed in this run, flushed to the disk
  // when the run ends (or at the latest when the window goes).
  InstalledFolders Installed;
  // Reads the downloaded list off the window's thread, from the list's
  // completion until WM_LIST_LOADED has been handled.
  std::unique_ptr<ListLoader> Loader;

  bool TrayIconShown = false;
  platform::TrayData TrayData;
  std::array<platform::IconHandle, 3> TrayIcons{};
  // Advances on every progress notification while the icon is shown.
  std::uint32_t TrayFrame = 0;

 private:
  void SetText(platform::Control* control, const std::string& text);
  void SetValue(platform::Control* control, int value);
  void StartClient();
  // Asks the window to close; how says in the run log how the run ended.
  void PostClose(const std::string& how);
  void ShowError(const std::string& text);
  // Ends the run after a file that could not be downloaded or installed:
  // the failure in the summary line and an error box, then the window
  // closes; the client is not started.
  void FailRun(const std::string& summary, const std::string& boxText);
  // The list from ListServer cannot be used: the next configured server is
  // asked, or, when none is left, the failure is shown and the client
  // started.
  void ListUnusable(const std::string& failure);
  // Reads the downloaded list (ListFile) off the window's thread.
  void StartListLoader();
  // Queues the download of the list's signature.
  void DownloadSignature();
  void RemoveListFile();
  std::filesystem::path TrayIconFile(int frame) const;
};

}  // namespace varo
