// The update controller: fetch the list, queue the downloads, react to each
// job's completion, end the run.
#include <algorithm>
#include <cassert>
#include <memory>
#include <string>
#include <vector>

#include "app/CDuiFrameWnd.h"
#include "common/Utf8Path.h"
#include "platform/FileSystem.h"
#include "update/Installer.h"
#include "update/ListSignature.h"
#include "update/SequenceStore.h"

namespace varo {
namespace {

// The largest update list that is fetched; a longer one fails like a list
// that cannot be fetched.
constexpr std::uint64_t kMaxListBytes = std::uint64_t{32} << 20;

// The download job of one listed file.
std::unique_ptr<CInetFile> MakeFileJob(const CUpdateFile& entry, const std::string& serverName,
                                       platform::MessagePoster& window) {
  auto download = std::make_unique<CInetFile>();
  download->StatusCallback = true;
  download->Kind = kInetFileData;
  download->NotifyWindow = &window;
  download->URL = entry.URL;
  download->ServerName = serverName;
  download->LocalFile = entry.LocalFile;
  download->HashedSideName = entry.HashedSideName;
  download->FileName = entry.FileName;
  // A listed length of 0 or below is not known.
  const std::uint64_t length = entry.Length > 0 ? static_cast<std::uint64_t>(entry.Length) : 0;
  download->ExpectedLength = length;
  download->RequiredLength = length;
  download->Register = entry.Register;
  download->Execute = entry.Execute;
  download->ExecutePar = entry.ExecutePar;
  download->Sha256 = entry.Sha256;
  return download;
}

}  // namespace

void CDuiFrameWnd::BeginUpdate() {
  UpdateFiles.RemoveAll();
  SetText(ProgressLabel, "正在连接获取服务器列表");
  DownloadedBytes = 0;
  DownloadUpdateList();
}

void CDuiFrameWnd::DownloadUpdateList(const CServer* server) {
  if (server == nullptr) {
    server = Servers.GetHead();
  }
  ListServer = server;
  if (server == nullptr) {
    ListHandled = true;  // nothing to fetch: the checking sequence ends the run
    return;
  }
  // A list that cannot get a temporary file is fetched to an empty path,
  // which the job reports as a local file it cannot create.
  RemoveListFile();
  ListFile = platform::CreateTempFile("Xml").value_or(std::filesystem::path{});
  UpdateFiles.RemoveAll();
  SetText(ProgressLabel, "正在连接：" + server->Name);
  Log.Line("asking " + server->Name + " for the update list");
  DownloadedBytes = 0;

  auto job = std::make_unique<CInetFile>();
  job->StatusCallback = true;
  job->Kind = kInetFileList;
  job->NotifyWindow = &Window;
  job->URL = server->URL;
  job->ServerName = server->Name;
  job->LocalFile = ListFile;
  job->ExpectedLength = 0;
  job->LengthLimit = kMaxListBytes;
  InetFiles.Add(std::move(job));
}

std::intptr_t CDuiFrameWnd::OnInetFileComplete(std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard guard(ProgressLock);
  const auto kind = static_cast<std::int32_t>((wParam >> 16) & 0xFFFF);
  const auto code = static_cast<std::uint32_t>(wParam & 0xFFFF);
  auto* job = reinterpret_cast<CInetFile*>(lParam);
  assert(job != nullptr && "a completion always names its job");

  // Set when a file could not be downloaded or installed: the run ends
  // there, wherever the file stands in the list.
  bool failed = false;
  if (kind == kInetFileList && code == INETFILE_OK) {
    // A signed list is read once its signature is here too.
    if (ListKey) {
      DownloadSignature();
    } else {
      StartListLoader();
    }
  } else if (kind == kInetFileList) {
    Log.Line("list from " + job->ServerName + ": failed, code " + std::to_string(code));
    RemoveListFile();
    ListUnusable(job->GetErrorText());
  } else if (kind == kInetFileSignature && code == INETFILE_OK) {
    StartListLoader();
  } else if (kind == kInetFileSignature) {
    // No signature is a signature that does not match.
    Log.Line("signature from " + job->ServerName + ": failed, code " + std::to_string(code));
    RemoveListFile();
    ListUnusable(kBadListSignatureText);
  } else if (kind == kInetFileData && code == INETFILE_OK) {
    Log.Line(job->FileName + ": downloaded, " +
             std::to_string(job->BytesReceived.load(std::memory_order_relaxed)) + " bytes");
    if (!InstallFile(*job)) {
      const std::string failure = "安装文件失败 [" + job->FileName + "]";
      FailRun(failure, failure);
      failed = true;
    }
  } else if (kind == kInetFileData) {
    Log.Line(job->FileName + ": download failed, code " + std::to_string(code) + ", " +
             std::to_string(job->BytesReceived.load(std::memory_order_relaxed)) + " bytes");
    const std::string failure =
        "下载文件失败 [" + job->FileName + "], 错误代码 [" + std::to_string(code) + "]";
    FailRun(failure, "可能由于网络原因，" + failure + " ");
    failed = true;
  }

  InetFiles.Remove(job);
  if (InetFiles.GetCount() == 0 && kind == kInetFileData && !failed && !ClosePosted) {
    SetText(InfoLabel, "更新完毕");
    StartClient();
    PostClose("every file updated");
  }
  --RunningJobs;
  if (StartNextAtOnce) {
    StartNextJob();
  }
  return 0;
}

void CDuiFrameWnd::OnListLoaded(bool loaded, [[maybe_unused]] const ListLoader* loader) {
  std::lock_guard guard(ProgressLock);
  assert(loader != nullptr && loader == Loader.get() && "the loader of this run reports");
  const std::unique_ptr<ListLoader> done = std::move(Loader);
  if (ClosePosted) {
    RemoveListFile();
    return;  // the window is closing: nothing more is queued
  }
  Log.Line("list from " + ListServer->Name + (loaded ? ": loaded" : ": no update list"));
  if (!loaded) {
    // Fetched, but no update list: the server cannot give one, whatever it
    // answered.
    RemoveListFile();
    ListUnusable(CInetFile::TextOf(INETFILE_ERR_GET_FILE));
    return;
  }
  if (ListKey) {
    const SequenceStore store(SequenceStore::FileFor(ProgramDirectory));
    const ListTrust trust =
        CheckListFiles(*ListKey, ListFile, SignatureFile, done->Files.Sequence, store.Read());
    if (trust != ListTrust::Accepted) {
      Log.Line(trust == ListTrust::Rollback
                   ? "list refused: its sequence is below one accepted before"
                   : "list refused: its signature does not match the configured key");
      RemoveListFile();
      ListUnusable(kBadListSignatureText);
      return;
    }
    if (done->Files.Sequence && !store.Raise(*done->Files.Sequence)) {
      // The list is good; only an older one served later could pass then.
      Log.Line("sequence " + std::to_string(*done->Files.Sequence) + " could not be stored in " +
               PathToUtf8(store.File().filename()));
    }
    Log.Line("list signature good" + (done->Files.Sequence
                                          ? ", sequence " + std::to_string(*done->Files.Sequence)
                                          : std::string()));
  }
  RemoveListFile();
  for (const std::string& name : done->UpToDate) {
    Log.Line(name + ": up to date");
  }
  done->Files.ForEach([this](const CUpdateFile& entry) {
    Log.Line((entry.LocalPath.empty() ? entry.FileName : entry.LocalPath + "\\" + entry.FileName) +
             ": to download, " + entry.Reason);
  });
  const std::string& serverName = ListServer->Name;
  SetText(ProgressLabel, "获取更新文件列表成功：" + serverName);
  UpdateFiles.RemoveAll();
  UpdateFiles.TakeAll(done->Files);
  FileCount = static_cast<std::uint32_t>(UpdateFiles.GetCount());
  TotalBytes = UpdateFiles.GetTotalLength();
  Log.Line(std::to_string(FileCount) + " files to download, " + std::to_string(TotalBytes) +
           " bytes");
  while (std::unique_ptr<CUpdateFile> entry = UpdateFiles.RemoveHead()) {
    InetFiles.Add(MakeFileJob(*entry, serverName, Window));
  }
  ListHandled = true;
  if (StartNextAtOnce) {
    StartNextJob();
  }
}

void CDuiFrameWnd::StartListLoader() {
  Loader = std::make_unique<ListLoader>(Window, ListFile, UpdateFiles.ModuleDir,
                                        UpdateFiles.WindowsDir, UpdateFiles.SystemDir);
  Loader->Files.Verify = VerifyFiles;
  if (!Loader->Start()) {
    Loader->LoadHere();
    OnListLoaded(Loader->Loaded, Loader.get());
  }
}

void CDuiFrameWnd::DownloadSignature() {
  // A signature that cannot get a temporary file is fetched to an empty
  // path, which fails like a missing signature.
  SignatureFile = platform::CreateTempFile("Sig").value_or(std::filesystem::path{});
  auto job = std::make_unique<CInetFile>();
  job->Kind = kInetFileSignature;
  job->NotifyWindow = &Window;
  job->URL = ListSignatureUrl(ListServer->URL);
  job->ServerName = ListServer->Name;
  job->LocalFile = SignatureFile;
  job->LengthLimit = kMaxListSignatureBytes;
  InetFiles.Add(std::move(job));
}

void CDuiFrameWnd::ListUnusable(const std::string& failure) {
  if (const CServer* next = NextListServer(); next != nullptr && !ClosePosted) {
    // The next configured server is asked in the same way; the run goes on
    // when it answers.
    DownloadUpdateList(next);
    return;
  }
  // Every server failed: the last one's failure is shown.
  ShowError(failure);
  StartClient();
  PostClose("no update list");
}

const CServer* CDuiFrameWnd::NextListServer() const {
  const CServer* next = nullptr;
  bool passed = false;  // ListServer and the servers before it were asked
  std::vector<const std::string*> asked;
  Servers.ForEach([&](const CServer& server) {
    if (next != nullptr) {
      return;
    }
    if (!passed) {
      asked.push_back(&server.URL);
      passed = &server == ListServer;
      return;
    }
    const bool askedBefore = std::any_of(
        asked.begin(), asked.end(), [&](const std::string* url) { return *url == server.URL; });
    if (server.Configured && !askedBefore) {
      next = &server;
    }
  });
  return next;
}

void CDuiFrameWnd::FailRun(const std::string& summary, const std::string& boxText) {
  SetText(ProgressLabel, summary);
  ShowError(boxText);
  PostClose("failed: " + summary);
}

bool CDuiFrameWnd::InstallFile(const CInetFile& job) {
  const InstallOutcome outcome = InstallDownloadedFile(Shell, job.SideFile(), job.LocalFile,
                                                       job.Execute, job.ExecutePar, job.Register);
  switch (outcome) {
    case InstallOutcome::Installed:
      Installed.Add(job.LocalFile);
      Log.Line(job.FileName + ": installed" + (job.Execute ? ", started" : "") +
               (job.Register ? ", registered with regsvr32" : ""));
      break;
    case InstallOutcome::TargetLocked:
      Log.Line(job.FileName + ": not installed, the file in place is read-only or cannot be read");
      break;
    case InstallOutcome::MoveFailed:
      Log.Line(job.FileName + ": not installed, it could not be put in place");
      break;
  }
  return outcome == InstallOutcome::Installed;
}

}  // namespace varo
