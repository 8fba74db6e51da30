#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Http.h"
#include "platform/MessagePoster.h"
#include "transfer/COrlanThread.h"

namespace varo {

// Notifications that a download job posts to its window. wParam: the job's
// Kind in the high 16 bits; the chunk size (progress) or the result code
// (completion) in the low 16 bits. lParam: the job.
inline constexpr std::uint32_t WM_INETFILE_PROGRESS = 1124;
inline constexpr std::uint32_t WM_INETFILE_COMPLETE = 1125;

// Result codes of a run.
enum InetFileResult : std::int32_t {
  INETFILE_OK = 0,
  INETFILE_ERR_URL = 1,
  INETFILE_ERR_SERVER_REFUSED = 2,
  INETFILE_ERR_REDIRECT = 3,
  INETFILE_ERR_REDIRECT_URL = 4,
  INETFILE_ERR_NOT_HTTP = 5,
  INETFILE_ERR_GET_FILE = 6,
  INETFILE_ERR_CREATE_LOCAL = 7,
  INETFILE_CANCELLED = 8,
  INETFILE_ERR_BAD_URL = 9,
  INETFILE_ERR_CHECK = 10,  // the file's SHA-256 is not the one the list gives
};

// The job kinds.
inline constexpr std::int32_t kInetFileList = 1;  // the update list
inline constexpr std::int32_t kInetFileData = 2;  // one listed file

// The side file a file job writes its download of target to: its name with
// ".update" appended, or, where that would be longer than a file name may
// be or where hashed is set, the name's start and a hash of the whole name,
// then ".update".
std::filesystem::path DownloadedFileOf(const std::filesystem::path& target, bool hashed = false);

// One download job: fetches URL into a local file on a worker thread of its
// own and reports to NotifyWindow by posted messages: one progress
// notification per chunk of at most 1024 bytes written, then exactly one
// completion per started run, as the run's last act. The creator fills the
// input fields before Start; the window's thread owns every field except
// those marked otherwise. The job must stay alive until its completion has
// been handled.
class CInetFile : public COrlanThread {
 public:
  CInetFile();
  // Asks the run to cancel and waits for it to end.
  ~CInetFile() override;

  // Starts a run on a new worker thread; false when no thread could be made.
  bool Start();

  // The text of a failure; read only after the completion was handled.
  std::string GetErrorText() const;

  // The text that belongs to a result code.
  static const char* TextOf(std::int32_t code);

  // Written by the worker before it posts the completion; read by the
  // window's thread while it handles that completion (or later).
  std::string ErrorText;
  // Inputs: set by the creator before Start, read-only afterwards.
  // StatusCallback would turn on status reports of the HTTP client that the
  // job ignores anyway; it has no effect.
  bool StatusCallback = false;
  std::int32_t Kind = kInetFileData;
  std::filesystem::path LocalFile;
  // Whether the side file (and its resume record) take the hashed form of
  // LocalFile's name: set where the plain names belong to other files of
  // the list, so that the download never overwrites one of them.
  bool HashedSideName = false;
  std::string FileName;
  std::string URL;
  platform::MessagePoster* NotifyWindow = nullptr;
  std::string ServerName;
  // Set by the window's thread (cleared by Start, set to cancel), read by
  // the worker after every chunk and while it waits for the server.
  std::atomic<bool> CancelRequested{false};
  // The window's thread only: how often Start was called.
  std::int32_t StartCount = 0;
  // Written by the worker (set once the target is open: to 0, or to the
  // bytes already in the side file when a download is continued; then
  // raised per chunk), read by the window's thread.
  std::atomic<std::uint64_t> BytesReceived{0};
  // Inputs, set by the creator before Start. RequiredLength: when above
  // 0, the body must be exactly this long; the job writes nothing past it,
  // and a body of any other length fails (code 2). LengthLimit: when above
  // 0, a longer body fails (code 2) before its surplus is written.
  std::uint64_t RequiredLength = 0;
  std::uint64_t LengthLimit = 0;
  // Carried for the window and the installer; the job never reads them.
  // ExpectedLength: the listed length, 0 when not known.
  std::uint64_t ExpectedLength = 0;
  bool Register = false;
  bool Execute = false;
  std::string ExecutePar;
  // Input: the SHA-256 the list gives for the file. The run hashes the body
  // as it writes it (a continued download: the whole side file once it is
  // complete); a complete body of another hash is deleted and the run fails
  // with INETFILE_ERR_CHECK.
  std::optional<std::array<std::uint8_t, 32>> Sha256;

  // A file job's side file: what a complete run leaves for the installer.
  std::filesystem::path SideFile() const;

 protected:
  // The body of one run: fetches URL into the target file, posting one
  // progress notification per chunk and one completion notification at the
  // end, whatever the outcome.
  void Run() override;

  // Sets ErrorText to the text of code and ends the run with that code.
  // Only inside Run.
  [[noreturn]] void Fail(std::int32_t code);

 private:
  // Carries a result code from Fail to the end of Run.
  class CInetFileException {
   public:
    explicit CInetFileException(std::int32_t code) : Code(code) {}
    std::int32_t Code;
  };

  // Receives the response of one run and writes it to the target file.
  class Transfer;
  struct ResumePlan;

  // The partial download of a file job to continue: its side file, no link,
  // holds fewer bytes than RequiredLength (at least one), and the record
  // beside it names URL and RequiredLength. Nothing for a list job or one
  // without a RequiredLength.
  std::optional<ResumePlan> PlanResume() const;
  // The resume record beside a file job's side file.
  std::filesystem::path RecordFile() const;
  // Removes the side file and its record.
  void DiscardPartial() const;
  // Turns the outcome of the last request into the run's result code (or a
  // Fail).
  void Conclude(Transfer& transfer, platform::HttpOutcome outcome, std::int32_t& code);

  // Posts a notification with wParam ((Kind & 0xFFFF) << 16) | low to
  // NotifyWindow, when there is one; progress is posted paced (see
  // MessagePoster::PostPaced), stopped by CancelRequested.
  void Notify(std::uint32_t message, std::uint32_t low) const;
};

}  // namespace varo
