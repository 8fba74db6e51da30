#include "update/RunLog.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <utility>

#include "platform/FileSystem.h"
#include "platform/OutputFile.h"
#include "platform/RegularFile.h"

namespace varo {
namespace {

constexpr std::string_view kRunMark = "=== ";

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &utc);
  return text;
}

// The newest whole runs of log that fit in room bytes.
std::string NewestRuns(const std::string& log, std::size_t room) {
  std::size_t start = log.size();
  while (start > 0) {
    // The run mark at a line start before start.
    std::size_t mark = log.rfind(kRunMark, start - 1);
    while (mark != std::string::npos && mark > 0 && log[mark - 1] != '\n') {
      mark = mark == 0 ? std::string::npos : log.rfind(kRunMark, mark - 1);
    }
    if (mark == std::string::npos || log.size() - mark > room) {
      break;
    }
    start = mark;
  }
  return log.substr(start);
}

}  // namespace

RunLog::RunLog(std::filesystem::path file, std::size_t limit)
    : Path(std::move(file)), Limit(limit) {}

void RunLog::BeginRun(const std::string& header) {
  Earlier.clear();
  if (platform::ResolvesWithin(Path.parent_path(), Path)) {
    if (std::optional<std::string> old = platform::ReadRegularFile(Path, Limit)) {
      Earlier = NewestRuns(*old, Limit / 2);
    }
  }
  Began = std::chrono::steady_clock::now();
  Current = std::string(kRunMark) + UtcNow() + " " + header + "\n";
  LeftOut = 0;
  Dirty = true;
}

void RunLog::Line(const std::string& text) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - Began);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%7.3f ", static_cast<double>(elapsed.count()) / 1000.0);
  std::string line = stamp + text;
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  line += '\n';
  // Room is kept for the count of lines left out.
  if (Current.size() + line.size() + 64 > Limit / 2) {
    ++LeftOut;
  } else {
    Current += line;
  }
  Dirty = true;
}

void RunLog::Flush() {
  if (!Dirty) {
    return;
  }
  Dirty = false;
  std::string tail;
  if (LeftOut > 0) {
    tail = "        (" + std::to_string(LeftOut) + " lines left out)\n";
  }
  // Written afresh beside the log, then put in its place: a reader never
  // sees half a log, and no link at the log's name is followed.
  std::filesystem::path fresh = Path;
  fresh += ".new";
  platform::OutputFile out;
  if (out.Create(fresh) != platform::kOk) {
    return;  // no log this time; the update goes on
  }
  const bool written = out.Write(Earlier.data(), Earlier.size()) &&
                       out.Write(Current.data(), Current.size()) &&
                       out.Write(tail.data(), tail.size()) && out.Close(false);
  // Neither the file nor its folder is synced: the log is written on the
  // window's thread on a tick, and a sync would wait for the journal to take
  // every write pending on the disk (a file being downloaded, say), holding
  // the window for a large part of a second. A power cut in the seconds
  // after may leave the log as it was (or, on a file system that does not
  // write a replacing file's data before its new name, empty): a support
  // desk's aid is not worth that wait.
  if (!written || platform::ReplaceFile(fresh, Path, false, platform::NameDurability::Deferred) !=
                      platform::kOk) {
    platform::RemoveFile(fresh);
  }
}

}  // namespace varo
