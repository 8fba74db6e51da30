// Progress notifications of the download jobs, and the tray animation.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "app/CDuiFrameWnd.h"

namespace varo {

namespace {
constexpr const char* kWorkingTip = "Varo正在更新程序,请勿退出";

// The shortest span of one rate sample, in milliseconds.
constexpr std::int32_t kRateSampleMs = 1000;

// value * 100 / total, rounded down, for any 64-bit counts (total above 0);
// results beyond the 32-bit range stop there.
std::uint32_t Percent(std::uint64_t value, std::uint64_t total) {
  const std::uint64_t whole = value / total;
  const std::uint64_t rest = value % total;  // below total
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (whole > kMax / 100) {
    return static_cast<std::uint32_t>(kMax);
  }
  // rest * 100 / total is below 100. Where rest * 100 would overflow (over
  // 2^57 bytes, which no download reaches) the quotient is taken in long
  // double, exact to the whole percent.
  const std::uint64_t part =
      rest <= std::numeric_limits<std::uint64_t>::max() / 100
          ? rest * 100 / total
          : std::min<std::uint64_t>(
                static_cast<std::uint64_t>(static_cast<long double>(rest) * 100 / total), 99);
  return static_cast<std::uint32_t>(std::min(whole * 100 + part, kMax));
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
