// What the window's thread spends on the work a run puts on it: one progress
// notification (one arrives per KiB downloaded), one tick, and loading and
// comparing an update list.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/CDuiFrameWnd.h"
#include "catalogue/CUpdateFiles.h"
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

// Loads a list of n entries, half of which exist on disk, and keeps those
// that need downloading.
void LoadAndCompareList(benchmark::State& state) {
  Folder install;
  const auto entries = static_cast<int>(state.range(0));
  const fs::path list = install.Path / "list.xml";
  {
    std::ofstream xml(list);
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>\n";
    for (int i = 0; i < entries; ++i) {
      const std::string name = "file" + std::to_string(i) + ".dat";
      xml << "<File><FileName>" << name << "</FileName><LocalPath>data\\set" << i % 10
          << "</LocalPath><FileVersion>1.0." << i << ".0</FileVersion><Length>" << 1000 + i
          << "</Length><URL>http://127.0.0.1/" << name << "</URL></File>\n";
      if (i % 2 == 0) {
        fs::create_directories(install.Path / "data" / ("set" + std::to_string(i % 10)));
        std::ofstream(install.Path / "data" / ("set" + std::to_string(i % 10)) / name) << "x";
      }
    }
    xml << "</UpdateList>\n";
  }
  CUpdateFiles files(install.Path);
  for (auto _ : state) {
    if (!files.Load(list)) {
      state.SkipWithError("the list does not load");
      break;
    }
    benchmark::DoNotOptimize(files.RemoveUpToDate());
    files.RemoveAll();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * entries);
}
BENCHMARK(LoadAndCompareList)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varo
