// Progress notifications of the download jobs, and the tray animation.
#include <algorithm>
#include <cstdint>

#include "app/CDuiFrameWnd.h"

namespace varo {

namespace {
constexpr const char* kWorkingTip = "Varo正在更新程序,请勿退出";

// The shortest span of one rate sample, in milliseconds.
constexpr std::int32_t kRateSampleMs = 1000;

// value * 100 / total without overflow for any 32-bit counts.
std::uint32_t Percent(std::uint32_t value, std::uint32_t total) {
  return static_cast<std::uint32_t>(std::uint64_t{value} * 100u / total);
}
}  // namespace

void CDuiFrameWnd::OnInetFileProgress(std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard guard(ProgressLock);
  const auto* job = reinterpret_cast<const CInetFile*>(lParam);
  if (job == nullptr) {
    return;
  }
  const auto kind = static_cast<std::int32_t>((wParam >> 16) & 0xFFFF);
  const auto chunk = static_cast<std::uint32_t>(wParam & 0xFFFF);

  if (job->ExpectedLength != 0) {
    FilePercent = Percent(job->BytesReceived.load(std::memory_order_relaxed), job->ExpectedLength);
  }
  if (kind == kInetFileData) {
    DownloadedBytes += chunk;
    if (TotalBytes != 0) {
      TotalPercent = Percent(DownloadedBytes, TotalBytes);
      // A sample spans at least kRateSampleMs, so bursts of data do not
      // make the rate jump; the bytes in between count in the next one.
      const std::int32_t now = Shell.ClockMs();
      const std::int32_t elapsed = now - LastSampleTime;
      if (elapsed >= kRateSampleMs) {
        LastSampleTime = now;
        const std::uint64_t bytes = DownloadedBytes - LastSampleBytes;
        const std::uint64_t rate = bytes * 1000u / static_cast<std::uint32_t>(elapsed);
        // Loopback can deliver more than 2 GiB/s within one sample.
        Speed = static_cast<std::int32_t>(std::min<std::uint64_t>(rate, INT32_MAX));
        LastSampleBytes = DownloadedBytes;
      }
    }
  }

  if (TrayIconShown) {
    ++TrayFrame;
    const auto frame = static_cast<int>(TrayFrame % 3);
    if (TrayIcons[frame] == 0) {
      TrayIcons[frame] = Shell.LoadIcon(TrayIconFile(frame));
    }
    TrayData.Icon = TrayIcons[frame];
    TrayData.Flags = platform::NIF_ICON;
    Shell.NotifyIcon(platform::TrayAction::Modify, TrayData);
    if (TrayData.Tip != kWorkingTip) {
      TrayData.Flags = platform::NIF_TIP;
      TrayData.Tip = kWorkingTip;
      Shell.NotifyIcon(platform::TrayAction::Modify, TrayData);
    }
  }
}

}  // namespace varo
