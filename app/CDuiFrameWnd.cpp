#include "app/CDuiFrameWnd.h"

#include <utility>

#include "platform/FileSystem.h"

namespace varo {

namespace {
constexpr std::uint32_t kStatusTimer = 1000;
constexpr std::uint32_t kStatusPeriodMs = 200;
}  // namespace

CDuiFrameWnd::CDuiFrameWnd(platform::Window& window, platform::Shell& shell,
                           std::filesystem::path programDirectory)
    : Window(window),
      Shell(shell),
      ProgramDirectory(std::move(programDirectory)),
      UpdateFiles(ProgramDirectory, platform::WindowsDirectory(), platform::SystemDirectory()),
      Log(ProgramDirectory / "ADImage" / "update.log") {}

CDuiFrameWnd::~CDuiFrameWnd() {
  InetFiles.RemoveAll();
  Loader.reset();  // waits for a list being read, before its file goes
  RemoveListFile();
  Log.Flush();
}

std::filesystem::path CDuiFrameWnd::ResourceDirectory() const {
  return ProgramDirectory / "ADImage" / "Update";
}

std::intptr_t CDuiFrameWnd::HandleMessage(std::uint32_t message, std::uintptr_t wParam,
                                          std::intptr_t lParam) {
  switch (message) {
    case platform::WM_CREATE:
      Window.LoadSkin(ResourceDirectory() / "Varo.xml");
      InfoLabel = Window.FindControl("infolable");
      EachProgress = Window.FindControl("eachprogress");
      if (EachProgress != nullptr) {
        EachProgress->SetForeImage("jd_m.jpg");
      }
      TotalProgress = Window.FindControl("totalprogress");
      if (TotalProgress != nullptr) {
        TotalProgress->SetForeImage("jd_m.jpg");
      }
      ProgressLabel = Window.FindControl("progresslable");
      Window.SetTimer(kStatusTimer, kStatusPeriodMs);
      OnInit();
      return 0;
    case platform::WM_DESTROY:
      return 0;
    case platform::WM_CLOSE:
      if (TrayIconShown) {
        Shell.NotifyIcon(platform::TrayAction::Delete, TrayData);
        TrayIconShown = false;
        for (platform::IconHandle& icon : TrayIcons) {
          if (icon != 0) {
            Shell.DestroyIcon(std::exchange(icon, 0));
          }
        }
      }
      return Window.DefaultHandle(message, wParam, lParam);
    case platform::WM_NCHITTEST:
      return OnNcHitTest(lParam);
    case platform::WM_TIMER:
      OnTimer();
      return Window.DefaultHandle(message, wParam, lParam);
    case WM_INETFILE_PROGRESS:
      OnInetFileProgress(wParam, lParam);
      return 0;
    case WM_INETFILE_COMPLETE:
      return OnInetFileComplete(wParam, lParam);
    case WM_LIST_LOADED:
      OnListLoaded(wParam != 0, reinterpret_cast<const ListLoader*>(lParam));
      return 0;
    default:
      return Window.DefaultHandle(message, wParam, lParam);
  }
}

void CDuiFrameWnd::Notify(std::string_view type, platform::Control& sender) {
  if (type == "click" && sender.GetName() == "closebtn") {
    PostClose("closed by the user");
  }
}

bool CDuiFrameWnd::OnInit() {
  Log.BeginRun("varo-update " VARO_VERSION);
  FillServers(Servers, ProgramDirectory);
  ListKey = ReadListPublicKey(ProgramDirectory);
  StartNextAtOnce = StartsNextAtOnce(ProgramDirectory);
  TrayIcons[0] = Shell.LoadIcon(TrayIconFile(0));
  if (!TrayIconShown) {
    TrayData.Flags = platform::NIF_MESSAGE | platform::NIF_ICON | platform::NIF_TIP;
    TrayData.CallbackMessage = WM_TRAYICON;
    TrayData.Icon = TrayIcons[0];
    TrayData.Tip = "正在自动更新";
    Shell.NotifyIcon(platform::TrayAction::Add, TrayData);
    Window.ShowWindow(false);
    TrayIconShown = true;
  }
  FilePercent = 0;
  TotalPercent = 0;
  Speed = 0;
  LastSampleTime = 0;
  LastSampleBytes = 0;
  BeginUpdate();
  if (StartNextAtOnce) {
    // No job waits for a tick: the list is asked for at once.
    std::lock_guard guard(ProgressLock);
    StartNextJob();
  }
  return true;
}

std::intptr_t CDuiFrameWnd::OnNcHitTest(std::intptr_t lParam) {
  const platform::Point point = Window.ScreenToClient(platform::UnpackPoint(lParam));
  const platform::Rect client = Window.GetClientRect();
  const platform::Rect caption = Window.GetCaptionInsets();
  const bool inBand = point.X >= client.Left + caption.Left &&
                      point.X < client.Right - caption.Right && point.Y >= caption.Top &&
                      point.Y < caption.Bottom;
  if (!inBand) {
    return platform::HTCLIENT;
  }
  const platform::Control* control = Window.FindControlAt(point);
  if (control == nullptr) {
    return platform::HTCLIENT;
  }
  const std::string& kind = control->GetClass();
  if (kind == "ButtonUI" || kind == "OptionUI" || kind == "TextUI") {
    return platform::HTCLIENT;
  }
  return platform::HTCAPTION;
}

void CDuiFrameWnd::SetText(platform::Control* control, const std::string& text) {
  if (control != nullptr) {
    control->SetText(text);
  }
}

void CDuiFrameWnd::SetValue(platform::Control* control, int value) {
  if (control != nullptr) {
    control->SetValue(value);
  }
}

void CDuiFrameWnd::StartClient() {
  Installed.Sync();  // what this run installed is on the disk before the client runs
  if (!ClientStarted) {
    ClientStarted = true;
    Log.Line("started the client Tandrel.exe");
    Shell.Start({"Tandrel.exe", "", "open"});
  }
}

void CDuiFrameWnd::ShowError(const std::string& text) {
  Log.Line("error box: " + text);
  Log.Flush();  // before the box, which the player may leave open
  ++OpenBoxes;
  Window.ShowErrorBox(text, "系统提示");
  --OpenBoxes;
}

void CDuiFrameWnd::RemoveListFile() {
  if (!SignatureFile.empty()) {
    platform::RemoveFile(SignatureFile);
    SignatureFile.clear();
  }
  if (!ListFile.empty()) {
    platform::RemoveFile(ListFile);
    ListFile.clear();
  }
}

void CDuiFrameWnd::PostClose(const std::string& how) {
  Installed.Sync();
  if (!ClosePosted) {
    Log.Line("run ended: " + how);
    Log.Flush();
  }
  ClosePosted = true;
  Window.Post({platform::WM_CLOSE, 0, 0});
}

std::filesystem::path CDuiFrameWnd::TrayIconFile(int frame) const {
  return ResourceDirectory() / ("icon" + std::to_string(frame + 1) + ".ico");
}

}  // namespace varo
