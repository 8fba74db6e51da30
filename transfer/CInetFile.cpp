#include "transfer/CInetFile.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "common/Utf8Path.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Http.h"
#include "platform/OutputFile.h"
#include "platform/SystemBoot.h"
#include "transfer/ResumeRecord.h"

namespace varo {

namespace {

// The piece of the body that one progress notification covers.
constexpr std::size_t kChunkSize = 1024;

constexpr int kStatusOk = 200;
constexpr int kStatusPartial = 206;
constexpr int kStatusRangeNotSatisfiable = 416;

// Not a result code: the partial download could not be continued and is
// gone; the run asks again for the whole body.
constexpr std::int32_t kStartOver = -1;

// The longest time received data waits in the file's buffer.
constexpr std::chrono::milliseconds kFlushInterval{100};
// A download from the start leaves its resume record once it has run this
// long (or when it ends unfinished).
constexpr std::chrono::milliseconds kRecordDelay{100};

// The longest file name, in bytes, that every supported file system takes
// (255 bytes on POSIX systems; 255 UTF-16 units on Windows, never fewer than
// the bytes of the same name in UTF-8).
constexpr std::size_t kMaxNameBytes = 255;

constexpr std::string_view kSideSuffix = ".update";

// FNV-1a, 64 bits: a stable short name for a long one.
std::uint64_t NameHash(std::string_view text) {
  std::uint64_t hash = 14695981039346656037u;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211u;
  }
  return hash;
}

}  // namespace

std::filesystem::path DownloadedFileOf(const std::filesystem::path& target, bool hashed) {
  const std::string name = PathToUtf8(target.filename());
  if (!hashed && name.size() + kSideSuffix.size() <= kMaxNameBytes) {
    std::filesystem::path downloaded = target;
    downloaded += PathFromUtf8(kSideSuffix);
    return downloaded;
  }
  // The name's start, cut at a character boundary, then a hash of the whole
  // name, so that each target keeps its own side file.
  char hash[18];
  std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(NameHash(name)));
  std::size_t keep = std::min(name.size(), kMaxNameBytes - kSideSuffix.size() - (sizeof hash - 1));
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return target.parent_path() /
         PathFromUtf8(name.substr(0, keep) + hash + std::string(kSideSuffix));
}

// A partial download that the run asks the server to continue: the side
// file holds the body's first From bytes, of the version whose validator
// the record keeps, and the first Durable of them are known to be on the
// disk.
struct CInetFile::ResumePlan {
  std::uint64_t From = 0;
  std::string Validator;
  std::uint64_t Durable = 0;
};

// Receives the response of one run on the worker thread. The target file is
// created only once the final status is known to be 200 (or opened for
// appending on a 206 that continues Plan), so any other status leaves the
// local file untouched. It never throws through the HTTP client: a failure
// is kept in Failure and ends the transfer.
class CInetFile::Transfer final : public platform::HttpSink {
 public:
  Transfer(CInetFile& job, const std::optional<ResumePlan>& plan)
      : Job(job), Plan(plan), Limit(job.RequiredLength > 0 ? job.RequiredLength : job.LengthLimit) {
    if (job.Sha256) {
      Hash.emplace();
    }
  }

  // The SHA-256 of the whole side file, once the body is complete and the
  // file closed: of the bytes as they were written, or, for a continued
  // download, read back from the file. Nothing when it cannot be read.
  std::optional<platform::Sha256Digest> Digest() {
    if (Continued || !Hash) {
      const auto file = platform::HashFile(Job.SideFile());
      return file ? std::optional(file->Digest) : std::nullopt;
    }
    return Hash->Finish();
  }

  bool OnResponse(const platform::HttpResponse& response) override {
    if (Plan && response.Status == kStatusPartial) {
      return Continue(response);
    }
    if (Plan && response.Status == kStatusRangeNotSatisfiable) {
      // The server has no such piece: the side file is not what it was
      // taken for.
      Job.DiscardPartial();
      return Stop(kStartOver);
    }
    if (response.Status != kStatusOk) {
      return Stop(INETFILE_ERR_GET_FILE);
    }
    // The whole body, from the start: an old record would describe a
    // version the side file no longer holds, so it goes before the side
    // file is made afresh. The new one follows once the download has run a
    // while (KeepGoing) or when it ends unfinished (KeepRecord): a small
    // file that arrives at once never needs one.
    const bool resumable = Job.Kind == kInetFileData && Job.RequiredLength > 0;
    if (Job.Kind == kInetFileData) {
      platform::RemoveFile(Job.RecordFile());
    }
    if (!CreateTarget()) {
      return Stop(INETFILE_ERR_CREATE_LOCAL);
    }
    if (resumable) {
      File.Reserve(Job.RequiredLength);
    }
    Job.BytesReceived.store(0, std::memory_order_relaxed);
    const std::string& validator = !response.ETag.empty() ? response.ETag : response.LastModified;
    if (resumable && !validator.empty()) {
      PlanRecord(validator, 0);
    }
    return true;
  }

  // When the download ends unfinished: puts the side file on the disk and
  // writes its record, which then trusts every byte of it even after the
  // system has started again, so that a later run can continue it. Where
  // the file cannot be put on the disk, the record trusts what it trusted
  // before. A record that cannot be written only means that this download
  // cannot be continued later.
  void KeepRecord() {
    if (!Record) {
      return;
    }
    if (File.IsOpen() && File.Close(true)) {
      Record->Durable = File.Size();
    }
    WriteRecord();
  }

  // However the client cuts the body into blocks, it goes on in full chunks
  // of kChunkSize bytes, as reads of that size would return them; only the
  // last chunk of a complete body (see Finish) may be shorter. Bytes held
  // back when the transfer ends otherwise are never written, and neither is
  // any byte past the body's limit.
  bool OnData(const char* data, std::size_t size) override {
    if (Limit > 0 && size > Limit - Taken) {
      return Stop(INETFILE_ERR_SERVER_REFUSED);
    }
    Taken += size;
    if (Held > 0) {
      const std::size_t taken = std::min(size, Buffer.size() - Held);
      std::memcpy(Buffer.data() + Held, data, taken);
      Held += taken;
      data += taken;
      size -= taken;
      if (Held < Buffer.size()) {
        return true;
      }
      Held = 0;
      if (!PassChunk(Buffer.data(), Buffer.size())) {
        return false;
      }
    }
    // Whole chunks go to the file straight from the client's block.
    for (; size >= kChunkSize; data += kChunkSize, size -= kChunkSize) {
      if (!PassChunk(data, kChunkSize)) {
        return false;
      }
    }
    if (size > 0) {
      std::memcpy(Buffer.data(), data, size);
      Held = size;
    }
    return true;
  }

  // Also puts buffered data on the disk when it has waited a while, so that
  // the side file of a slow or stalled download keeps up with it.
  bool KeepGoing() override {
    if (Job.CancelRequested.load()) {
      return Stop(INETFILE_CANCELLED);
    }
    const auto now = std::chrono::steady_clock::now();
    if (File.Buffered() > 0 && now - LastFlush >= kFlushInterval) {
      LastFlush = now;
      if (!File.Flush()) {
        return Stop(INETFILE_ERR_CREATE_LOCAL);
      }
    }
    // While the download runs, the record trusts all of the side file
    // within this start of the system only, as nothing more is put on the
    // disk for it.
    if (RecordPending && now - Begun >= kRecordDelay) {
      WriteRecord();
    }
    return true;
  }

  // Passes on the last chunk of a complete body and checks its length;
  // false (with Failure set) when the body is not as long as required, when
  // the chunk cannot be written, or when the run was cancelled after it.
  bool Finish() {
    if (Job.RequiredLength > 0 && Taken != Job.RequiredLength) {
      return Stop(INETFILE_ERR_SERVER_REFUSED);
    }
    const std::size_t count = std::exchange(Held, 0);
    return count == 0 || PassChunk(Buffer.data(), count);
  }

  // Closes the target after a complete body (a file job's content reaches
  // the disk first); false when its last bytes could not be written.
  bool Close() { return File.Close(Job.Kind == kInetFileData); }

  // Closes the target, if open, without the bytes held for the next chunk.
  void Abandon() {
    if (File.IsOpen()) {
      File.Close(false);
    }
  }

  // Why the transfer was ended from this side; INETFILE_OK while it was not.
  std::int32_t Failure = INETFILE_OK;

 private:
  bool Stop(std::int32_t code) {
    Failure = code;
    return false;
  }

  // The record of this download, written after kRecordDelay.
  void PlanRecord(const std::string& validator, std::uint64_t durable) {
    Record = ResumeRecord{Job.URL, Job.RequiredLength, validator, platform::CurrentBoot(), durable};
    RecordPending = true;
    Begun = std::chrono::steady_clock::now();
  }

  void WriteRecord() {
    WriteResumeRecord(Job.RecordFile(), *Record);
    RecordPending = false;
  }

  // Writes one chunk, counts it, notifies the window of it, then looks at
  // the cancel flag.
  bool PassChunk(const char* chunk, std::size_t count) {
    if (!File.Write(chunk, count)) {
      return Stop(INETFILE_ERR_CREATE_LOCAL);
    }
    if (Hash) {
      Hash->Update(chunk, count);
    }
    Job.BytesReceived.fetch_add(count, std::memory_order_relaxed);
    Job.Notify(WM_INETFILE_PROGRESS, static_cast<std::uint32_t>(count));
    if (Job.CancelRequested.load()) {
      return Stop(INETFILE_CANCELLED);
    }
    return true;
  }

  // Creates the target afresh. When that fails, creates the folders on its
  // path one by one from the root down (a folder that exists counts as
  // made; folders made stay) and tries once more.
  bool CreateTarget() {
    const std::filesystem::path target = Job.Kind == kInetFileData ? Job.SideFile() : Job.LocalFile;
    if (platform::Succeeded(File.Create(target))) {
      return true;
    }
    std::filesystem::path folder;
    for (const std::filesystem::path& part : target.parent_path()) {
      folder /= part;
      if (folder == folder.root_path()) {
        continue;  // a drive or the root: always there
      }
      if (!platform::Succeeded(platform::MakeDirectory(folder))) {
        return false;
      }
    }
    return platform::Succeeded(File.Create(target));
  }

  // A 206 answer to a request for the rest: appends it to the side file
  // when it is the piece asked for, of the length the list announced, and
  // counts the bytes already there as received: BytesReceived starts at
  // them, and they go to the window as progress notifications of whole
  // chunks, as if they had just arrived, so its total counts them too.
  // Anything else starts over.
  bool Continue(const platform::HttpResponse& response) {
    const std::optional<ContentRange> range = ParseContentRange(response.ContentRange);
    if (!range || range->First != Plan->From || range->Total != Job.RequiredLength ||
        !platform::Succeeded(File.Append(Job.SideFile(), Plan->From))) {
      Abandon();
      Job.DiscardPartial();
      return Stop(kStartOver);
    }
    File.Reserve(Job.RequiredLength);
    // The record the side file had may date from an earlier start of the
    // system; its new one counts in this start, trusting no more of the
    // disk than the old one did.
    PlanRecord(Plan->Validator, Plan->Durable);
    Taken = Plan->From;
    Continued = true;
    Job.BytesReceived.store(Plan->From, std::memory_order_relaxed);
    for (std::uint64_t left = Plan->From; left > 0;) {
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kChunkSize));
      Job.Notify(WM_INETFILE_PROGRESS, count);
      left -= count;
      if (Job.CancelRequested.load()) {
        return Stop(INETFILE_CANCELLED);
      }
    }
    return true;
  }

  CInetFile& Job;
  const std::optional<ResumePlan>& Plan;
  // The most bytes the body may have; 0 for no limit.
  const std::uint64_t Limit;
  // Bytes of the body taken so far, held ones included; those already in the
  // side file when a download is continued count too.
  std::uint64_t Taken = 0;
  platform::OutputFile File;
  std::chrono::steady_clock::time_point LastFlush = std::chrono::steady_clock::now();
  std::array<char, kChunkSize> Buffer{};
  std::size_t Held = 0;  // bytes of the next chunk in Buffer
  // The hash of the bytes written, when the list gives one to check.
  std::optional<platform::Sha256> Hash;
  // Set when the body continues a side file that was there before.
  bool Continued = false;
  // The record of a download that a later run may continue, whether it
  // still waits to be written, and when the body began.
  std::optional<ResumeRecord> Record;
  bool RecordPending = false;
  std::chrono::steady_clock::time_point Begun;
};

CInetFile::CInetFile() : ErrorText(TextOf(INETFILE_OK)) {}

CInetFile::~CInetFile() {
  CancelRequested.store(true);
  StopThread();
}

bool CInetFile::Start() {
  ++StartCount;
  return StartThread([this] { CancelRequested.store(false); });
}

std::string CInetFile::GetErrorText() const {
  return ErrorText;
}

const char* CInetFile::TextOf(std::int32_t code) {
  switch (code) {
    case INETFILE_ERR_URL:
      return "URL解析错误, 请选择其他服务器进行尝试";
    case INETFILE_ERR_SERVER_REFUSED:
      return "服务器拒绝连接, 请选择其他服务器进行尝试";
    case INETFILE_ERR_REDIRECT:
      return "重定向失败, 请选择其他服务器进行尝试";
    case INETFILE_ERR_REDIRECT_URL:
      return "重定向URL解析错误, 请选择其他服务器进行尝试";
    case INETFILE_ERR_NOT_HTTP:
      return "不是HTTP连接, 请选择其他服务器进行尝试";
    case INETFILE_ERR_GET_FILE:
      return "取得服务器文件失败, 请选择其他服务器进行尝试";
    case INETFILE_ERR_CREATE_LOCAL:
      return "创建本地文件失败";
    case INETFILE_CANCELLED:
      return "主动取消连接";
    case INETFILE_ERR_BAD_URL:
      return "URL不正确";
    case INETFILE_ERR_CHECK:
      return "文件校验失败";
    default:
      return "连接服务器失败, 请检查网络或联系管理员";
  }
}

void CInetFile::Fail(std::int32_t code) {
  ErrorText = TextOf(code);
  throw CInetFileException(code);
}

void CInetFile::Notify(std::uint32_t message, std::uint32_t low) const {
  if (NotifyWindow == nullptr) {
    return;
  }
  const std::uint32_t wParam =
      ((static_cast<std::uint32_t>(Kind) & 0xFFFFu) << 16) | (low & 0xFFFFu);
  const platform::Message posted{message, wParam, reinterpret_cast<std::intptr_t>(this)};
  if (message == WM_INETFILE_PROGRESS) {
    // Progress waits while the window is far behind, which bounds the
    // backlog; a cancel ends the wait. The completion never waits.
    NotifyWindow->PostPaced(posted, CancelRequested);
  } else {
    NotifyWindow->Post(posted);
  }
}

std::filesystem::path CInetFile::SideFile() const {
  return DownloadedFileOf(LocalFile, HashedSideName);
}

std::filesystem::path CInetFile::RecordFile() const {
  return ResumeFileOf(SideFile());
}

std::optional<CInetFile::ResumePlan> CInetFile::PlanResume() const {
  if (Kind != kInetFileData || RequiredLength == 0) {
    return std::nullopt;
  }
  const std::filesystem::path side = SideFile();
  const std::filesystem::path recordFile = RecordFile();
  // Neither is read or written through a link; the side file is opened
  // without following one again when the answer comes. Most files have no
  // side file: the record is not looked at then.
  if (platform::IsLink(side)) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> size = platform::GetFileSize(side);
  if (!size || platform::IsLink(recordFile)) {
    return std::nullopt;
  }
  const std::optional<ResumeRecord> record = ReadResumeRecord(recordFile);
  if (!record || record->Url != URL || record->Length != RequiredLength) {
    return std::nullopt;
  }
  // After the system has started again, only what had reached the disk;
  // the rest is cut off and asked for again.
  const std::uint64_t from =
      platform::IsCurrentBoot(record->Boot) ? *size : std::min(*size, record->Durable);
  if (from == 0 || from >= RequiredLength) {
    return std::nullopt;
  }
  return ResumePlan{from, record->Validator, std::min(from, record->Durable)};
}

void CInetFile::DiscardPartial() const {
  platform::RemoveFile(RecordFile());
  platform::RemoveFile(SideFile());
}

// Result codes: 1 for a URL that is not http or https or cannot be split
// (with its text); 2 when the transfer failed (name, connection, TLS, send or
// receive, a body shorter than announced or of another length than
// required or longer than the limit, a transfer too slow), text unchanged; 6 for a
// final status other than 200 (with its text); 7 when the target or a folder
// on its path cannot be created, or the file cannot be written (with its
// text); 8 when cancelled, text unchanged. The target file and its
// transfer are gone before the completion is posted, as the last act.
//
// A file job with a RequiredLength continues a download that an earlier run
// left unfinished in its side file, when the record beside it names the
// same URL and length: it asks for the rest ("Range", "If-Range" with the
// record's validator) and appends a 206 whose Content-Range starts at the
// side file's end and names RequiredLength as the whole; after the system
// has started again, the side file counts only up to the bytes the record
// knows to be on the disk, and what lies beyond them is cut off. A 200
// starts over from the first byte. A 206 of another piece or whole, or a
// 416, removes the side file and its record and asks once more for the
// whole body, in the same run. The record is written when a body is begun
// from the start and its response names a validator (ETag, else
// Last-Modified), or is continued, once the download has run a tenth of a
// second, and again, after the side file is put on the disk, when it ends
// unfinished; it is removed once the body is complete.
void CInetFile::Run() {
  std::int32_t code = INETFILE_OK;
  try {
    // A partial download that cannot be continued after all is gone once
    // Transfer reports kStartOver; the second request asks for the whole
    // body and never starts over.
    std::optional<ResumePlan> plan = PlanResume();
    for (;;) {
      Transfer transfer(*this, plan);
      std::optional<platform::HttpRange> range;
      if (plan) {
        range = platform::HttpRange{plan->From, plan->Validator};
      }
      platform::HttpOutcome outcome = platform::HttpGet(URL, transfer, {}, range);
      if (outcome == platform::HttpOutcome::Complete && !transfer.Finish()) {
        outcome = platform::HttpOutcome::Aborted;
      }
      if (outcome == platform::HttpOutcome::Aborted && transfer.Failure == kStartOver) {
        plan.reset();
        continue;
      }
      Conclude(transfer, outcome, code);
      break;
    }
  } catch (const CInetFileException& failure) {
    code = failure.Code;
  } catch (const std::exception&) {
    // The system ran out of a resource (memory, most likely) inside the
    // transfer: a failed transfer, reported like any other.
    code = INETFILE_ERR_SERVER_REFUSED;
  }
  Notify(WM_INETFILE_COMPLETE, static_cast<std::uint32_t>(code));
}

void CInetFile::Conclude(Transfer& transfer, platform::HttpOutcome outcome, std::int32_t& code) {
  switch (outcome) {
    case platform::HttpOutcome::Complete: {
      const bool closed = transfer.Close();
      // The side file is whole, or in doubt when it could not be closed:
      // installed next or fetched afresh by a later run, never continued.
      if (Kind == kInetFileData) {
        platform::RemoveFile(RecordFile());
      }
      if (!closed) {
        Fail(INETFILE_ERR_CREATE_LOCAL);
      }
      if (Kind == kInetFileData && Sha256 && transfer.Digest() != Sha256) {
        // Not what the list promised: never installed, and not kept.
        platform::RemoveFile(SideFile());
        Fail(INETFILE_ERR_CHECK);
      }
      break;
    }
    case platform::HttpOutcome::BadUrl:
      Fail(INETFILE_ERR_URL);
    case platform::HttpOutcome::Failed:
      transfer.KeepRecord();
      code = INETFILE_ERR_SERVER_REFUSED;
      break;
    case platform::HttpOutcome::Aborted:
      assert(transfer.Failure != INETFILE_OK);
      transfer.KeepRecord();
      if (transfer.Failure == INETFILE_CANCELLED ||
          transfer.Failure == INETFILE_ERR_SERVER_REFUSED) {
        code = transfer.Failure;  // the text stays, as for any failed transfer
      } else {
        Fail(transfer.Failure);
      }
      break;
  }
}

}  // namespace varo
