#include "support/WholeRun.h"

#include <algorithm>
#include <chrono>

#include "app/CDuiFrameWnd.h"

namespace varo::test {

namespace fs = std::filesystem;

WholeRun::WholeRun(fs::path installation)
    : Install(installation.empty() ? Outer / "game" : std::move(installation)) {
  fs::create_directories(Install / "ADImage");
  WriteFile(Outer / "beside" / "keep.txt", "keep");
  WriteFile(Install / "ADImage" / "xxxxx_system.ini",
            "[UpdateServer]\nserver1=" + Server.Url(kListPath) + "\n");
}

void WholeRun::Run(const std::string& body) {
  Server.Serve(kListPath, body, 200, "text/xml");
  Desktop = std::make_unique<platform::HeadlessDesktop>();
  platform::HeadlessDesktop& desktop = *Desktop;
  CDuiFrameWnd frame(desktop, desktop, Install);
  frame.VerifyFiles = Verify;
  Ended = false;
  ListFileRemoved = false;
  Boxes.clear();
  if (!desktop.Create(frame, "Varo更新程序")) {
    return;
  }
  const fs::path listFile = frame.InetFiles.GetHead()->LocalFile;
  for (int tick = 0; tick < 200 && !desktop.IsDestroyed(); ++tick) {
    desktop.Tick();
    // Generous: a list of 200 000 entries is read for a while under the
    // sanitizers.
    if (!desktop.DispatchUntil([&] { return frame.Idle() && desktop.PendingMessages() == 0; },
                               std::chrono::minutes(5))) {
      break;
    }
  }
  Ended = desktop.IsDestroyed();
  ListFileRemoved = !fs::exists(listFile);
  for (const auto& box : desktop.EventsOf("box")) {
    Boxes.push_back(box.Text);
  }
}

std::vector<std::string> WholeRun::OuterTree() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(Outer.Path())) {
    names.push_back(entry.path().lexically_relative(Outer.Path()).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> WholeRun::FreshTree() const {
  std::vector<std::string> names{"beside", "beside/keep.txt"};
  const fs::path install = Install.lexically_relative(Outer.Path());
  if (!install.empty() && *install.begin() != "..") {
    for (fs::path at = install; !at.empty(); at = at.parent_path()) {
      names.push_back(at.generic_string());
    }
    names.push_back((install / "ADImage").generic_string());
    names.push_back((install / "ADImage" / "xxxxx_system.ini").generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace varo::test
