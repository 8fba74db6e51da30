// The update controller: fetch the list, queue the downloads, react to each
// job's completion, end the run.
#include <cassert>
#include <memory>
#include <string>

#include "app/CDuiFrameWnd.h"
#include "platform/FileSystem.h"
#include "update/Installer.h"

namespace varo {

void CDuiFrameWnd::BeginUpdate() {
  UpdateFiles.RemoveAll();
  SetText(ProgressLabel, "正在连接获取服务器列表");
  DownloadedBytes = 0;
  DownloadUpdateList();
}

void CDuiFrameWnd::DownloadUpdateList() {
  const CServer* server = Servers.GetHead();
  if (server == nullptr) {
    return;
  }
  // A list that cannot get a temporary file is fetched to an empty path,
  // which the job reports as a local file it cannot create.
  const std::filesystem::path listFile =
      platform::CreateTempFile("Xml").value_or(std::filesystem::path{});
  UpdateFiles.RemoveAll();
  SetText(ProgressLabel, "正在连接：" + server->Name);
  DownloadedBytes = 0;

  auto job = std::make_unique<CInetFile>();
  job->StatusCallback = true;
  job->Kind = kInetFileList;
  job->NotifyWindow = &Window;
  job->URL = server->URL;
  job->ServerName = server->Name;
  job->LocalFile = listFile;
  job->ExpectedLength = 0;
  InetFiles.Add(std::move(job));
}

std::intptr_t CDuiFrameWnd::OnInetFileComplete(std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard guard(ProgressLock);
  const auto kind = static_cast<std::int32_t>((wParam >> 16) & 0xFFFF);
  const auto code = static_cast<std::uint32_t>(wParam & 0xFFFF);
  auto* job = reinterpret_cast<CInetFile*>(lParam);
  assert(job != nullptr && "a completion always names its job");

  if (kind == kInetFileList && code == INETFILE_OK) {
    SetText(ProgressLabel, "获取更新文件列表成功：" + job->ServerName);
    if (UpdateFiles.Load(job->LocalFile)) {
      FileCount = static_cast<std::uint32_t>(UpdateFiles.RemoveUpToDate());
      TotalBytes = UpdateFiles.GetTotalLength();
      while (std::unique_ptr<CUpdateFile> entry = UpdateFiles.RemoveHead()) {
        auto download = std::make_unique<CInetFile>();
        download->StatusCallback = true;
        download->Kind = kInetFileData;
        download->NotifyWindow = &Window;
        download->URL = entry->URL;
        download->ServerName = job->ServerName;
        download->LocalFile = entry->LocalFile;
        download->FileName = entry->FileName;
        download->ExpectedLength = static_cast<std::uint32_t>(entry->Length);
        download->Register = entry->Register;
        download->Execute = entry->Execute;
        download->ExecutePar = entry->ExecutePar;
        InetFiles.Add(std::move(download));
      }
    }
    platform::RemoveFile(job->LocalFile);
  } else if (kind == kInetFileList) {
    Window.ShowErrorBox(job->GetErrorText(), "系统提示");
    StartClient();
    PostClose();
  } else if (kind == kInetFileData && code == INETFILE_OK) {
    InstallFile(*job);
  } else if (kind == kInetFileData) {
    const std::string failure =
        "下载文件失败 [" + job->FileName + "], 错误代码 [" + std::to_string(code) + "]";
    SetText(ProgressLabel, failure);
    Window.ShowErrorBox("可能由于网络原因，" + failure + " ", "系统提示");
    PostClose();
  }

  InetFiles.Remove(job);
  if (InetFiles.GetCount() == 0 && kind == kInetFileData) {
    SetText(InfoLabel, "更新完毕");
    StartClient();
    PostClose();
  }
  --RunningJobs;
  return 0;
}

void CDuiFrameWnd::InstallFile(const CInetFile& job) {
  InstallDownloadedFile(Shell, job.LocalFile, job.Execute, job.ExecutePar, job.Register);
}

}  // namespace varo
