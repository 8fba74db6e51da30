#include "platform/headless/HeadlessDesktop.h"

#include <algorithm>
#include <cassert>
#include <ranges>
#include <utility>

namespace varo::platform {

class HeadlessDesktop::HeadlessControl final : public Control {
 public:
  HeadlessControl(HeadlessDesktop& owner, std::string name, std::string className, Rect bounds)
      : Owner(owner), Name(std::move(name)), ClassName(std::move(className)), Bounds(bounds) {}

  const std::string& GetName() const override { return Name; }
  const std::string& GetClass() const override { return ClassName; }
  void SetText(const std::string& text) override { Owner.Record({"text", Name, text, 0, {}}); }
  void SetValue(int value) override { Owner.Record({"value", Name, {}, value, {}}); }
  void SetForeImage(const std::string& image) override {
    Owner.Record({"image", Name, image, 0, {}});
  }
  bool Contains(Point p) const {
    return p.X >= Bounds.Left && p.X < Bounds.Right && p.Y >= Bounds.Top && p.Y < Bounds.Bottom;
  }

 private:
  HeadlessDesktop& Owner;
  const std::string Name;
  const std::string ClassName;
  const Rect Bounds;
};

namespace {
// The layout every headless window has: 480 x 300, a caption band 40 high.
constexpr Rect kClient{0, 0, 480, 300};
constexpr Rect kCaption{0, 0, 0, 40};
}  // namespace

HeadlessDesktop::HeadlessDesktop() {
  // Listed bottom to top: the last control containing a point is on top.
  const struct {
    const char* Name;
    const char* Class;
    Rect Bounds;
  } layout[] = {
      {"background", "ContainerUI", kClient},
      {"title", "LabelUI", {16, 8, 300, 32}},
      {"tab", "OptionUI", {300, 8, 360, 32}},
      {"caption_text", "TextUI", {360, 8, 430, 32}},
      {"closebtn", "ButtonUI", {440, 8, 472, 32}},
      {"infolable", "TextUI", {20, 120, 460, 144}},
      {"eachprogress", "ProgressUI", {20, 150, 460, 166}},
      {"totalprogress", "ProgressUI", {20, 180, 460, 196}},
      {"progresslable", "TextUI", {20, 210, 460, 234}},
  };
  for (const auto& entry : layout) {
    Controls.push_back(
        std::make_unique<HeadlessControl>(*this, entry.Name, entry.Class, entry.Bounds));
  }
}

HeadlessDesktop::~HeadlessDesktop() = default;

void HeadlessDesktop::RemoveControl(const std::string& name) {
  std::erase_if(Controls, [&](const auto& c) { return c->GetName() == name; });
}

void HeadlessDesktop::Record(Event event) {
  Events.push_back(std::move(event));
}

bool HeadlessDesktop::Create(WindowHandler& handler, const std::string& title) {
  assert(Handler == nullptr && "one window per desktop");
  Handler = &handler;
  Record({"create", title, {}, 0, {}});
  Handler->HandleMessage(WM_CREATE, 0, 0);
  return true;
}

bool HeadlessDesktop::LoadSkin(const std::filesystem::path& skinFile) {
  Record({"skin", skinFile.string(), {}, 0, {}});
  return true;
}

Control* HeadlessDesktop::FindControl(std::string_view name) {
  for (const auto& control : Controls) {
    if (control->GetName() == name) {
      return control.get();
    }
  }
  return nullptr;
}

Control* HeadlessDesktop::FindControlAt(Point client) {
  for (const auto& control : std::views::reverse(Controls)) {
    if (control->Contains(client)) {
      return control.get();
    }
  }
  return nullptr;
}

Rect HeadlessDesktop::GetCaptionInsets() {
  return kCaption;
}
Rect HeadlessDesktop::GetClientRect() {
  return kClient;
}

// The window sits at (100, 50) on the screen.
Point HeadlessDesktop::ScreenToClient(Point screen) {
  return {screen.X - 100, screen.Y - 50};
}

void HeadlessDesktop::SetTimer(std::uint32_t id, std::uint32_t periodMs) {
  TimerIdSet = id;
  TimerPeriodMs = periodMs;
}

void HeadlessDesktop::CenterWindow() {
  Record({"center", {}, {}, 0, {}});
}

void HeadlessDesktop::ShowWindow(bool show) {
  Shown = show;
  Record({"show", {}, {}, show ? 1 : 0, {}});
}

void HeadlessDesktop::ShowModal() {
  ShowWindow(true);
  const auto period = std::chrono::milliseconds(TimerPeriodMs == 0 ? 200 : TimerPeriodMs);
  auto nextTick = std::chrono::steady_clock::now() + period;
  while (!Destroyed) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextTick) {
      Tick();
      nextTick += period;
      continue;
    }
    if (auto message =
            Queue.WaitTake(std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now))) {
      Deliver(*message);
    }
  }
}

std::intptr_t HeadlessDesktop::DefaultHandle(std::uint32_t message, std::uintptr_t, std::intptr_t) {
  if (message == WM_CLOSE && !Destroyed) {
    Record({"destroy", {}, {}, 0, {}});
    Handler->HandleMessage(WM_DESTROY, 0, 0);
    Destroyed = true;
    Shown = false;
  }
  return 0;
}

void HeadlessDesktop::ShowErrorBox(const std::string& text, const std::string& caption) {
  Record({"box", caption, text, 0, {}});
  ++BoxDepth;
  if (BoxHandler) {
    BoxHandler(text);
  }
  --BoxDepth;
}

void HeadlessDesktop::Post(const Message& message) {
  Queue.Post(message);
}

void HeadlessDesktop::Start(const StartRequest& request) {
  Record({"start", request.File, request.Parameters, request.SystemProgram ? 1 : 0, request.Verb});
}

IconHandle HeadlessDesktop::LoadIcon(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    return 0;
  }
  const IconHandle icon = NextIcon++;
  Icons.emplace(icon, file);
  return icon;
}

void HeadlessDesktop::DestroyIcon(IconHandle icon) {
  assert(Icons.count(icon) == 1 && "destroying an icon that is not loaded");
  Icons.erase(icon);
}

bool HeadlessDesktop::NotifyIcon(TrayAction action, const TrayData& data) {
  const char* names[] = {"add", "modify", "delete"};
  const auto icon = Icons.find(data.Icon);
  Record({"tray", names[static_cast<int>(action)], data.Tip, data.Flags,
          icon == Icons.end() ? std::string() : icon->second.filename().string()});
  TrayPresent = action != TrayAction::Delete;
  return true;
}

std::int32_t HeadlessDesktop::ClockMs() {
  return Clock;
}

void HeadlessDesktop::Deliver(const Message& message) {
  // Messages for a window that is gone are dropped, as a desktop does.
  if (Handler != nullptr && !Destroyed) {
    Handler->HandleMessage(message.Id, message.WParam, message.LParam);
  }
}

void HeadlessDesktop::Tick() {
  if (Handler != nullptr && !Destroyed && TimerIdSet != 0) {
    Handler->HandleMessage(WM_TIMER, TimerIdSet, 0);
  }
}

bool HeadlessDesktop::DispatchOne() {
  auto message = Queue.Take();
  if (!message) {
    return false;
  }
  Deliver(*message);
  return true;
}

bool HeadlessDesktop::DispatchUntil(const std::function<bool()>& done,
                                    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return false;
    }
    if (auto message =
            Queue.WaitTake(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now))) {
      Deliver(*message);
    }
  }
  return true;
}

std::vector<HeadlessDesktop::Event> HeadlessDesktop::EventsOf(const std::string& kind) const {
  std::vector<Event> result;
  std::copy_if(Events.begin(), Events.end(), std::back_inserter(result),
               [&](const Event& e) { return e.Kind == kind; });
  return result;
}

std::vector<std::string> HeadlessDesktop::TextsOf(const std::string& control) const {
  std::vector<std::string> result;
  for (const Event& e : Events) {
    if (e.Kind == "text" && e.Name == control) {
      result.push_back(e.Text);
    }
  }
  return result;
}

std::vector<std::int64_t> HeadlessDesktop::ValuesOf(const std::string& control) const {
  std::vector<std::int64_t> result;
  for (const Event& e : Events) {
    if (e.Kind == "value" && e.Name == control) {
      result.push_back(e.Value);
    }
  }
  return result;
}

std::string HeadlessDesktop::CurrentText(const std::string& control) const {
  const auto texts = TextsOf(control);
  return texts.empty() ? std::string() : texts.back();
}

std::vector<StartRequest> HeadlessDesktop::Starts() const {
  std::vector<StartRequest> result;
  for (const Event& e : Events) {
    if (e.Kind == "start") {
      result.push_back({e.Name, e.Text, e.Extra, e.Value != 0});
    }
  }
  return result;
}

}  // namespace varo::platform
