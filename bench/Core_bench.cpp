// What the window's thread spends on the work a run puts on it: one progress
// notification (one arrives per KiB downloaded) and one tick; loading and
// comparing an update list is in UpdateList.cpp.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/CDuiFrameWnd.h"
#include "platform/headless/HeadlessDesktop.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

// A throw-away installation folder.
struct Folder {
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "varo-bench-XXXXXX").string();
    Path = ::mkdtemp(pattern.data());
  }
  ~Folder() { fs::remove_all(Path); }
  fs::path Path;
};

void ProgressNotification(benchmark::State& state) {
  Folder install;
  platform::HeadlessDesktop desktop;
  CDuiFrameWnd frame(desktop, desktop, install.Path);
  desktop.Create(frame, "Varo更新程序");
  desktop.Events.reserve(1 << 20);
  CInetFile job;
  job.ExpectedLength = std::uint64_t{1} << 30;
  frame.TotalBytes = std::uint64_t{1} << 30;
  for (auto _ : state) {
    job.BytesReceived.fetch_add(1024, std::memory_order_relaxed);
    ++desktop.Clock;
    frame.HandleMessage(WM_INETFILE_PROGRESS, (2u << 16) | 1024u,
                        reinterpret_cast<std::intptr_t>(&job));
    if (desktop.Events.size() > (1u << 20)) {
      desktop.Events.clear();  // the recording is not what is measured
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1024);
  fs::remove(frame.InetFiles.GetHead()->LocalFile);
}
BENCHMARK(ProgressNotification);

void DownloadDisplayTick(benchmark::State& state) {
  Folder install;
  platform::HeadlessDesktop desktop;
  CDuiFrameWnd frame(desktop, desktop, install.Path);
  desktop.Create(frame, "Varo更新程序");
  frame.InetFiles.GetHead()->StartCount = 1;
  frame.FileCount = 12;
  frame.TotalBytes = 123456789;
  for (auto _ : state) {
    desktop.Tick();
    desktop.Events.clear();
  }
  fs::remove(frame.InetFiles.GetHead()->LocalFile);
}
BENCHMARK(DownloadDisplayTick);

}  // namespace
}  // namespace varo
