#include "platform/windows/gui/Win32SkinWindow.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <iostream>
#include <optional>

#include "platform/windows/gui/Win32Text.h"

// after windows.h
#include <commctrl.h>

namespace varo::platform {
namespace {

// Tells the window's thread that posted messages are waiting.
constexpr UINT kWakeMessage = WM_APP + 1;
// Resumes a drain of posted messages that ran out of its time budget, once
// painting and the timer have had their turn.
constexpr UINT_PTR kDrainTimer = 0x7A10D0;
// How long one drain may deliver posted messages in a row.
constexpr std::chrono::milliseconds kDrainBudget(4);

// The dots per inch of the window's monitor (with a per-monitor awareness)
// or of the system.
UINT DpiOf(HWND window) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpi>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  UINT dpi = getDpiForWindow != nullptr && window != nullptr ? getDpiForWindow(window) : 0;
  if (dpi == 0) {
    HDC screen = GetDC(nullptr);
    dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
    ReleaseDC(nullptr, screen);
  }
  return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

}  // namespace

Win32SkinWindow::Win32SkinWindow() = default;

Win32SkinWindow::~Win32SkinWindow() {
  Handler = nullptr;
  if (HWND window = Handle.load(); window != nullptr) {
    DestroyWindow(window);
  }
  for (HICON icon : {BigIcon, SmallIcon}) {
    if (icon != nullptr) {
      DestroyIcon(icon);
    }
  }
}

bool Win32SkinWindow::Create(WindowHandler& handler, const std::string& title) {
  assert(Handler == nullptr && "one window per object");
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = &Win32SkinWindow::WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kClassName;
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }
  Handler = &handler;
  const std::wstring caption = win32gui::Wide(title);
  HWND window =
      CreateWindowExW(WS_EX_APPWINDOW, kClassName, caption.c_str(),
                      WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0,
                      0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (window == nullptr) {
    Handler = nullptr;
    return false;
  }
  // Explorer broadcasts it when it starts anew. An elevated program would
  // not get it from Explorer, which runs with less: the filter lets it in.
  TaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  if (TaskbarCreated != 0) {
    ChangeWindowMessageFilterEx(window, TaskbarCreated, MSGFLT_ALLOW, nullptr);
  }
  // Messages posted before the window existed.
  Signalled.store(true);
  PostMessageW(window, kWakeMessage, 0, 0);
  return true;
}

bool Win32SkinWindow::LoadSkin(const std::filesystem::path& skinFile) {
  std::vector<std::string> problems;
  std::optional<Skin> skin = ReadSkinFile(skinFile, problems);
  for (const std::string& problem : problems) {
    std::cerr << "varo-update: skin " << problem << '\n';
  }
  BuiltIn = !skin.has_value();
  if (BuiltIn) {
    std::cerr << "varo-update: the skin cannot be used; the window takes its built-in layout\n";
    skin = BuiltInSkin();
  }
  Layout = std::move(*skin);
  const std::filesystem::path folder = skinFile.parent_path();
  Painter.SetFolder(folder);
  Hot = nullptr;
  Pressed = nullptr;
  Controls.clear();
  for (const SkinControl& spec : Layout.Controls) {
    Controls.push_back(std::make_unique<Win32SkinControl>(
        spec, [this](const Rect& area) { InvalidateArea(area); }));
  }
  if (HWND window = Handle.load(); window != nullptr) {
    Scale = static_cast<double>(DpiOf(window)) / USER_DEFAULT_SCREEN_DPI;
    SetWindowPos(window, nullptr, 0, 0, ToDevice(Layout.Width), ToDevice(Layout.Height),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (!Layout.Icon.empty()) {
      SetIcons(folder / std::filesystem::path(win32gui::Wide(Layout.Icon)));
    }
    BuildTips();
    InvalidateRect(window, nullptr, FALSE);
  }
  return true;
}

void Win32SkinWindow::BuildTips() {
  HWND window = Handle.load();
  if (Tips != nullptr) {
    DestroyWindow(Tips);
    Tips = nullptr;
  }
  TipTexts.clear();
  for (const auto& control : Controls) {
    if (!control->GetSpec().ToolTip.empty()) {
      TipTexts.push_back(win32gui::Wide(control->GetSpec().ToolTip));
    }
  }
  if (window == nullptr || TipTexts.empty()) {
    return;
  }
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = sizeof(classes);
  classes.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&classes);
  Tips = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                         WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, GetModuleHandleW(nullptr),
                         nullptr);
  if (Tips == nullptr) {
    return;
  }
  std::size_t text = 0;
  for (std::size_t i = 0; i < Controls.size(); ++i) {
    const SkinControl& spec = Controls[i]->GetSpec();
    if (spec.ToolTip.empty()) {
      continue;
    }
    TTTOOLINFOW tool{};
    // The size that every version of the common controls accepts.
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = i + 1;
    tool.rect = {ToDevice(spec.Pos.Left), ToDevice(spec.Pos.Top), ToDevice(spec.Pos.Right),
                 ToDevice(spec.Pos.Bottom)};
    tool.lpszText = TipTexts[text++].data();
    SendMessageW(Tips, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void Win32SkinWindow::SetIcons(const std::filesystem::path& file) {
  HWND window = Handle.load();
  const struct {
    HICON* Icon;
    int Width;
    int Height;
    WPARAM Kind;
  } sizes[] = {
      {&BigIcon, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), ICON_BIG},
      {&SmallIcon, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), ICON_SMALL},
  };
  for (const auto& size : sizes) {
    auto* icon = static_cast<HICON>(LoadImageW(nullptr, file.wstring().c_str(), IMAGE_ICON,
                                               size.Width, size.Height, LR_LOADFROMFILE));
    if (icon == nullptr) {
      std::cerr << "varo-update: skin icon " << win32gui::Narrow(file.wstring())
                << " cannot be read\n";
      return;
    }
    SendMessageW(window, WM_SETICON, size.Kind, reinterpret_cast<LPARAM>(icon));
    if (*size.Icon != nullptr) {
      DestroyIcon(*size.Icon);
    }
    *size.Icon = icon;
  }
}

Control* Win32SkinWindow::FindControl(std::string_view name) {
  const auto it = std::find_if(Controls.begin(), Controls.end(),
                               [&](const auto& control) { return control->GetName() == name; });
  return it == Controls.end() ? nullptr : it->get();
}

Control* Win32SkinWindow::FindControlAt(Point client) {
  for (auto it = Controls.rbegin(); it != Controls.rend(); ++it) {
    if ((*it)->Contains(client)) {
      return it->get();
    }
  }
  return nullptr;
}

Rect Win32SkinWindow::GetCaptionInsets() {
  return Layout.Caption;
}

Rect Win32SkinWindow::GetClientRect() {
  RECT client{};
  if (HWND window = Handle.load(); window != nullptr && ::GetClientRect(window, &client)) {
    return {0, 0, static_cast<int>(std::lround(client.right / Scale)),
            static_cast<int>(std::lround(client.bottom / Scale))};
  }
  return {0, 0, Layout.Width, Layout.Height};
}

Point Win32SkinWindow::ScreenToClient(Point screen) {
  POINT point{screen.X, screen.Y};
  if (HWND window = Handle.load(); window != nullptr) {
    ::ScreenToClient(window, &point);
  }
  return ToSkin(point.x, point.y);
}

void Win32SkinWindow::SetTimer(std::uint32_t id, std::uint32_t periodMs) {
  if (HWND window = Handle.load(); window != nullptr) {
    ::SetTimer(window, id, periodMs, nullptr);
  }
}

void Win32SkinWindow::CenterWindow() {
  HWND window = Handle.load();
  RECT bounds{};
  if (window == nullptr || !GetWindowRect(window, &bounds)) {
    return;
  }
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  RECT area{};
  if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    area = monitor.rcWork;
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  const int width = bounds.right - bounds.left;
  const int height = bounds.bottom - bounds.top;
  const int x = area.left + std::max(0L, area.right - area.left - width) / 2;
  const int y = area.top + std::max(0L, area.bottom - area.top - height) / 2;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32SkinWindow::ShowWindow(bool show) {
  if (HWND window = Handle.load(); window != nullptr) {
    ::ShowWindow(window, show ? SW_SHOWNORMAL : SW_HIDE);
  }
}

void Win32SkinWindow::ShowModal() {
  HWND window = Handle.load();
  if (window == nullptr || Destroyed) {
    return;
  }
  ::ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  SetForegroundWindow(window);
  MSG message{};
  while (!Destroyed) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      // WM_QUIT from elsewhere: handed on to any outer loop.
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) {
      break;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

std::intptr_t Win32SkinWindow::DefaultHandle(std::uint32_t message, std::uintptr_t wParam,
                                             std::intptr_t lParam) {
  HWND window = Handle.load();
  if (window == nullptr) {
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void Win32SkinWindow::ShowErrorBox(const std::string& text, const std::string& caption) {
  const std::wstring body = win32gui::Wide(text);
  const std::wstring title = win32gui::Wide(caption);
  // No owner: the window stays enabled, and the box's loop dispatches the
  // window's timer and wake-up messages like any other loop of this thread.
  // Opened while posted messages are delivered, it holds up that drain, and
  // posts wake no one until the drain ends: the box's loop takes it over.
  if (HWND window = Handle.load(); window != nullptr) {
    ::SetTimer(window, kDrainTimer, USER_TIMER_MINIMUM, nullptr);
  }
  MessageBoxW(nullptr, body.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
}

void Win32SkinWindow::Post(const Message& message) {
  Posted.Post(message);
  Wake();
}

void Win32SkinWindow::PostPaced(const Message& message, const std::atomic<bool>& stop) {
  Posted.PostPaced(message, stop);
  Wake();
}

void Win32SkinWindow::Wake() {
  if (Signalled.exchange(true)) {
    return;  // a wake-up or a resumed drain is on its way
  }
  HWND window = Handle.load();
  if (window == nullptr || !PostMessageW(window, kWakeMessage, 0, 0)) {
    // No window yet (Create wakes it), or none any more.
    Signalled.store(false);
  }
}

void Win32SkinWindow::DrainPosted() {
  // Signalled stays set while messages wait: posts then wake no one, so the
  // queue of the thread never fills with wake-ups, which would come before
  // painting and the timer.
  auto start = std::chrono::steady_clock::now();
  while (!Destroyed) {
    std::optional<Message> message = Posted.Take();
    if (!message) {
      Signalled.store(false);
      // A post between the empty take and the store woke no one.
      if (Posted.Size() == 0 || Signalled.exchange(true)) {
        return;
      }
      continue;
    }
    Deliver(message->Id, message->WParam, message->LParam);
    if (std::chrono::steady_clock::now() - start < kDrainBudget) {
      continue;
    }
    if (HIWORD(GetQueueStatus(QS_ALLINPUT)) == 0) {
      start = std::chrono::steady_clock::now();  // nothing else waits
    } else {
      // The rest after the paint, input and timer messages that wait.
      if (HWND window = Handle.load(); window != nullptr) {
        ::SetTimer(window, kDrainTimer, USER_TIMER_MINIMUM, nullptr);
      }
      return;
    }
  }
}

std::intptr_t Win32SkinWindow::Deliver(std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
  HWND window = Handle.load();
  if (Handler == nullptr || Destroyed) {
    // Messages for a window that is gone are dropped, as the system does.
    return window != nullptr ? DefWindowProcW(window, message, wParam, lParam) : 0;
  }
  return Handler->HandleMessage(message, wParam, lParam);
}

void Win32SkinWindow::InvalidateArea(const Rect& area) {
  if (HWND window = Handle.load(); window != nullptr) {
    const RECT rect{static_cast<LONG>(std::floor(area.Left * Scale)),
                    static_cast<LONG>(std::floor(area.Top * Scale)),
                    static_cast<LONG>(std::ceil(area.Right * Scale)),
                    static_cast<LONG>(std::ceil(area.Bottom * Scale))};
    InvalidateRect(window, &rect, FALSE);
  }
}

void Win32SkinWindow::PaintTo(HDC dc) {
  RECT client{};
  ::GetClientRect(Handle.load(), &client);
  const int width = std::max<int>(client.right, 1);
  const int height = std::max<int>(client.bottom, 1);
  // Drawn into a memory bitmap first and copied in one step: no flicker.
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
  if (memory == nullptr || bitmap == nullptr) {
    if (bitmap != nullptr) {
      DeleteObject(bitmap);
    }
    if (memory != nullptr) {
      DeleteDC(memory);
    }
    return;
  }
  HGDIOBJ previous = SelectObject(memory, bitmap);
  Painter.Paint(memory, Layout, Controls, static_cast<float>(Scale));
  BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

void Win32SkinWindow::Paint() {
  HWND window = Handle.load();
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window, &paint);
  if (dc != nullptr) {
    PaintTo(dc);
  }
  EndPaint(window, &paint);
}

int Win32SkinWindow::ToDevice(int length) const {
  return static_cast<int>(std::lround(length * Scale));
}

Point Win32SkinWindow::ToSkin(long x, long y) const {
  return {static_cast<int>(std::floor(x / Scale)), static_cast<int>(std::floor(y / Scale))};
}

Point Win32SkinWindow::ToSkin(LPARAM lParam) const {
  const Point device = UnpackPoint(static_cast<std::intptr_t>(lParam));
  return ToSkin(device.X, device.Y);
}

Win32SkinControl* Win32SkinWindow::ButtonAt(Point client) {
  for (auto it = Controls.rbegin(); it != Controls.rend(); ++it) {
    if ((*it)->Contains(client)) {
      return (*it)->IsButton() ? it->get() : nullptr;
    }
  }
  return nullptr;
}

void Win32SkinWindow::OnMouseMove(Point client) {
  HWND window = Handle.load();
  if (!TrackingLeave) {
    TRACKMOUSEEVENT track{};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = window;
    TrackingLeave = TrackMouseEvent(&track) != FALSE;
  }
  Win32SkinControl* under = ButtonAt(client);
  if (Pressed != nullptr) {
    Pressed->SetState(under == Pressed ? Win32SkinControl::State::Pushed
                                       : Win32SkinControl::State::Normal);
    return;
  }
  if (under != Hot) {
    if (Hot != nullptr) {
      Hot->SetState(Win32SkinControl::State::Normal);
    }
    Hot = under;
    if (Hot != nullptr) {
      Hot->SetState(Win32SkinControl::State::Hot);
    }
  }
}

void Win32SkinWindow::OnButtonDown(Point client) {
  Win32SkinControl* under = ButtonAt(client);
  if (under == nullptr) {
    return;
  }
  Pressed = under;
  Pressed->SetState(Win32SkinControl::State::Pushed);
  SetCapture(Handle.load());
}

void Win32SkinWindow::OnButtonUp(Point client) {
  Win32SkinControl* pressed = Pressed;
  if (pressed == nullptr) {
    return;
  }
  Pressed = nullptr;
  ReleaseCapture();
  const bool inside = pressed->Contains(client);
  pressed->SetState(inside ? Win32SkinControl::State::Hot : Win32SkinControl::State::Normal);
  Hot = inside ? pressed : nullptr;
  if (inside && Handler != nullptr && !Destroyed) {
    Handler->Notify("click", *pressed);
  }
}

LRESULT CALLBACK Win32SkinWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self =
        static_cast<Win32SkinWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->Handle.store(window);
  }
  auto* self = reinterpret_cast<Win32SkinWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->Dispatch(message, wParam, lParam);
}

LRESULT Win32SkinWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = Handle.load();
  if (message == TaskbarCreated && TaskbarCreated != 0) {
    if (OnTaskbarCreated) {
      OnTaskbarCreated();
    }
    return 0;
  }
  switch (message) {
    // No frame of the system's: the client area is the whole window.
    case WM_NCCALCSIZE:
    case WM_NCPAINT:
      return 0;
    case WM_NCACTIVATE:
      if (IsIconic(window)) {
        return 0;
      }
      return wParam == 0 ? TRUE : FALSE;
    case WM_NCHITTEST:
      return Handler != nullptr && !Destroyed ? Deliver(message, wParam, lParam) : HTCLIENT;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_PRINTCLIENT:
      PaintTo(reinterpret_cast<HDC>(wParam));
      return 0;
    case WM_MOUSEMOVE:
      OnMouseMove(ToSkin(lParam));
      break;
    case WM_MOUSELEAVE:
      TrackingLeave = false;
      if (Pressed == nullptr && Hot != nullptr) {
        Hot->SetState(Win32SkinControl::State::Normal);
        Hot = nullptr;
      }
      break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      OnButtonDown(ToSkin(lParam));
      break;
    case WM_LBUTTONUP:
      OnButtonUp(ToSkin(lParam));
      break;
    case WM_CAPTURECHANGED:
      if (Pressed != nullptr && reinterpret_cast<HWND>(lParam) != window) {
        Pressed->SetState(Win32SkinControl::State::Normal);
        Pressed = nullptr;
      }
      break;
    case WM_DPICHANGED: {
      // Moved to a monitor of another density: the size the system suggests.
      Scale = static_cast<double>(LOWORD(wParam)) / USER_DEFAULT_SCREEN_DPI;
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      BuildTips();
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    }
    case kWakeMessage:
      DrainPosted();
      return 0;
    case WM_TIMER:
      if (wParam == kDrainTimer) {
        KillTimer(window, kDrainTimer);
        DrainPosted();
        return 0;
      }
      break;
    case WM_DESTROY: {
      const std::intptr_t result = Deliver(message, wParam, lParam);
      Destroyed = true;
      Tips = nullptr;  // destroyed with its owner
      Hot = nullptr;
      Pressed = nullptr;
      return result;
    }
    case WM_NCDESTROY:
      Destroyed = true;
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      Handle.store(nullptr);
      return DefWindowProcW(window, message, wParam, lParam);
    default:
      break;
  }
  return Deliver(message, wParam, lParam);
}

}  // namespace varo::platform
