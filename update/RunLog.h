#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace varo {

// The log of update runs that a support desk asks for (ADImage/update.log):
// each run starts with a line "=== <UTC time> <header>", then one line per
// event, each after the seconds since the run began. The file stays below
// its limit: a new run keeps only the newest earlier runs that leave it half
// the room, and a run that fills its half leaves its later lines out
// (counted at the end). The log never affects the update: a file that
// cannot be read starts a fresh log, and one that cannot be written is
// skipped silently by design. A file at the log's name that is no regular
// file, or that leads out of its folder through a link, is never read.
// Window's thread only.
class RunLog {
 public:
  explicit RunLog(std::filesystem::path file, std::size_t limit = std::size_t{1} << 20);

  // Starts the log of a run.
  void BeginRun(const std::string& header);
  // Adds one event; line breaks in text become blanks.
  void Line(const std::string& text);
  // Writes the log out when anything changed since it was last written.
  void Flush();

  const std::filesystem::path& File() const { return Path; }

 private:
  const std::filesystem::path Path;
  const std::size_t Limit;
  // The earlier runs that are kept, then this run's lines.
  std::string Earlier;
  std::string Current;
  std::size_t LeftOut = 0;
  bool Dirty = false;
  std::chrono::steady_clock::time_point Began;
};

}  // namespace varo
