// The 200 ms tick of the main window, and the job start it shares with the
// completion handler.
#include <string>

#include "app/CDuiFrameWnd.h"

namespace varo {

void CDuiFrameWnd::OnTimer() {
  std::lock_guard guard(ProgressLock);

  if (FileCount > 0) {
    const std::string rate = std::to_string(Speed / 1024) + "KB/秒";
    const auto queued = static_cast<std::uint32_t>(InetFiles.GetCount());
    const std::string count = "正在下载(" +
                              std::to_string(static_cast<std::int32_t>(FileCount - queued + 1)) +
                              "/" + std::to_string(static_cast<std::int32_t>(FileCount)) + ")";
    const std::string size = "总大小" + std::to_string(TotalBytes / 1024) + "KB";
    SetText(ProgressLabel, count + " " + rate + " " + size);
    SetText(EachProgress, std::to_string(FilePercent) + "%");
    SetText(TotalProgress, std::to_string(TotalPercent) + "%");
    SetValue(EachProgress, static_cast<int>(FilePercent));
    SetValue(TotalProgress, static_cast<int>(TotalPercent));
  } else {
    // The checking sequence: once the update list has been handled and
    // nothing is queued for download, fill the bars over six ticks, then
    // start the client and close on the ninth. Until then, and while an
    // error box is open, it waits at its first step.
    if (CheckTicks <= 10) {
      SetText(InfoLabel, "正在检测");
      SetValue(EachProgress, CheckTicks * 10);
      SetValue(TotalProgress, CheckTicks * 10);
      if (CheckTicks == 10) {
        SetText(ProgressLabel, "你当前的版本是最新的");
        SetText(InfoLabel, "检测完毕");
      }
    }
    if (ListHandled && OpenBoxes == 0 && InetFiles.GetCount() == 0) {
      if (CheckTicks > 15) {
        StartClient();
        PostClose("nothing to update");
      }
      CheckTicks += 2;
    }
  }

  StartNextJob();

  // The log reaches the disk at most once a second while the run goes on.
  if (const std::int32_t now = Shell.ClockMs(); now - LastLogFlush >= 1000) {
    LastLogFlush = now;
    Log.Flush();
  }
}

// Only the head job is ever started, so jobs run one at a time in order.
void CDuiFrameWnd::StartNextJob() {
  if (RunningJobs >= MaxRunningJobs || ClosePosted) {
    return;
  }
  CInetFile* head = InetFiles.GetHead();
  if (head == nullptr || head->StartCount != 0) {
    return;
  }
  if (head->Kind == kInetFileData) {
    SetText(InfoLabel, "正在下载文件：" + head->FileName);
  }
  Log.Line((head->Kind == kInetFileData   ? "download " + head->FileName
            : head->Kind == kInetFileList ? std::string("list")
                                          : std::string("signature")) +
           " from " + head->URL);
  // A job whose thread cannot be made fails like a download that cannot
  // reach its server; its completion comes the usual way.
  ++RunningJobs;
  if (!head->Start()) {
    const auto kind = static_cast<std::uint32_t>(head->Kind) & 0xFFFFu;
    Window.Post({WM_INETFILE_COMPLETE, (kind << 16) | INETFILE_ERR_SERVER_REFUSED,
                 reinterpret_cast<std::intptr_t>(head)});
  }
}

}  // namespace varo
