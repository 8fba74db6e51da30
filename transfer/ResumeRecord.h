#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace varo {

// What a partial download needs to be continued: the URL it came from, the
// length the list announced, and the server's validator of the version
// whose first bytes it holds (an ETag, else a Last-Modified date). Kept in
// a small file beside the side file (ResumeFileOf); a download continues
// only when every one of them still matches.
//
// It also tells how much of the side file can be trusted. Within the
// system start in which it was written (Boot), all of it: whatever ended
// the run, the system still holds every byte written. After the system has
// started again, only the first Durable bytes, which had reached the disk
// before the record was written: a power cut may have left the file's
// later part unwritten, as zeros or older data.
struct ResumeRecord {
  std::string Url;
  std::uint64_t Length = 0;
  std::string Validator;  // as the server sent it; what If-Range carries back
  std::string Boot;       // platform::CurrentBoot() when written; may be empty
  std::uint64_t Durable = 0;

  bool operator==(const ResumeRecord&) const = default;
};

// The record file that belongs to a side file: its name with ".resume" in
// place of ".update". Where that is the name of a listed file, the side
// file takes its hashed form (CInetFile::HashedSideName), and so does this.
std::filesystem::path ResumeFileOf(const std::filesystem::path& sideFile);

// Writes record to file afresh; false when it cannot be written (the
// download then simply cannot be continued later).
bool WriteResumeRecord(const std::filesystem::path& file, const ResumeRecord& record);

// The record in file; nothing when there is none, it is no regular file,
// is larger than a record can be, or is malformed (a line break within a
// field among that).
std::optional<ResumeRecord> ReadResumeRecord(const std::filesystem::path& file);

// A Content-Range header of a 206 answer: "bytes FIRST-LAST/TOTAL".
struct ContentRange {
  std::uint64_t First = 0;
  std::uint64_t Last = 0;
  std::uint64_t Total = 0;
  bool operator==(const ContentRange&) const = default;
};
// Nothing unless the text is exactly that form with FIRST <= LAST < TOTAL
// (an unknown total "*" counts as malformed: it cannot be checked).
std::optional<ContentRange> ParseContentRange(std::string_view text);

}  // namespace varo
