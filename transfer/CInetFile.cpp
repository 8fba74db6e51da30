#include "transfer/CInetFile.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

#include "common/Utf8Path.h"
#include "platform/FileSystem.h"
#include "platform/Http.h"
#include "platform/OutputFile.h"

namespace varo {

namespace {

// The piece of the body that one progress notification covers.
constexpr std::size_t kChunkSize = 1024;

constexpr int kStatusOk = 200;

// The longest time received data waits in the file's buffer.
constexpr std::chrono::milliseconds kFlushInterval{100};

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

std::filesystem::path DownloadedFileOf(const std::filesystem::path& target) {
  const std::string name = PathToUtf8(target.filename());
  if (name.size() + kSideSuffix.size() <= kMaxNameBytes) {
    std::filesystem::path downloaded = target;
    downloaded += PathFromUtf8(kSideSuffix);
    return downloaded;
  }
  // Too long with the suffix: the name's start, cut at a character boundary,
  // then a hash of the whole name, so that each target keeps its own side
  // file.
  char hash[18];
  std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(NameHash(name)));
  std::size_t keep = kMaxNameBytes - kSideSuffix.size() - (sizeof hash - 1);
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return target.parent_path() /
         PathFromUtf8(name.substr(0, keep) + hash + std::string(kSideSuffix));
}

// Receives the response of one run on the worker thread. The target file is
// created only once the final status is known to be 200, so any other status
// leaves the local file untouched. It never throws through the HTTP client:
// a failure is kept in Failure and ends the transfer.
class CInetFile::Transfer final : public platform::HttpSink {
 public:
  explicit Transfer(CInetFile& job)
      : Job(job), Limit(job.RequiredLength > 0 ? job.RequiredLength : job.LengthLimit) {}

  bool OnResponse(int status) override {
    if (status != kStatusOk) {
      return Stop(INETFILE_ERR_GET_FILE);
    }
    if (!CreateTarget()) {
      return Stop(INETFILE_ERR_CREATE_LOCAL);
    }
    Job.BytesReceived.store(0, std::memory_order_relaxed);
    return true;
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
    if (File.Buffered() > 0) {
      const auto now = std::chrono::steady_clock::now();
      if (now - LastFlush >= kFlushInterval) {
        LastFlush = now;
        if (!File.Flush()) {
          return Stop(INETFILE_ERR_CREATE_LOCAL);
        }
      }
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

  // Why the transfer was ended from this side; INETFILE_OK while it was not.
  std::int32_t Failure = INETFILE_OK;

 private:
  bool Stop(std::int32_t code) {
    Failure = code;
    return false;
  }

  // Writes one chunk, counts it, notifies the window of it, then looks at
  // the cancel flag.
  bool PassChunk(const char* chunk, std::size_t count) {
    if (!File.Write(chunk, count)) {
      return Stop(INETFILE_ERR_CREATE_LOCAL);
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
    const std::filesystem::path target =
        Job.Kind == kInetFileData ? DownloadedFileOf(Job.LocalFile) : Job.LocalFile;
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

  CInetFile& Job;
  // The most bytes the body may have; 0 for no limit.
  const std::uint64_t Limit;
  // Bytes of the body taken so far, held ones included.
  std::uint64_t Taken = 0;
  platform::OutputFile File;
  std::chrono::steady_clock::time_point LastFlush = std::chrono::steady_clock::now();
  std::array<char, kChunkSize> Buffer{};
  std::size_t Held = 0;  // bytes of the next chunk in Buffer
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

// Result codes: 1 for a URL that is not http or https or cannot be split
// (with its text); 2 when the transfer failed (name, connection, TLS, send or
// receive, a body shorter than announced or of another length than
// required or longer than the limit, a transfer too slow), text unchanged; 6 for a
// final status other than 200 (with its text); 7 when the target or a folder
// on its path cannot be created, or the file cannot be written (with its
// text); 8 when cancelled, text unchanged. The target file and its
// transfer are gone before the completion is posted, as the last act.
void CInetFile::Run() {
  std::int32_t code = INETFILE_OK;
  try {
    Transfer transfer(*this);
    platform::HttpOutcome outcome = platform::HttpGet(URL, transfer);
    if (outcome == platform::HttpOutcome::Complete && !transfer.Finish()) {
      outcome = platform::HttpOutcome::Aborted;
    }
    switch (outcome) {
      case platform::HttpOutcome::Complete:
        if (!transfer.Close()) {
          Fail(INETFILE_ERR_CREATE_LOCAL);
        }
        break;
      case platform::HttpOutcome::BadUrl:
        Fail(INETFILE_ERR_URL);
      case platform::HttpOutcome::Failed:
        code = INETFILE_ERR_SERVER_REFUSED;
        break;
      case platform::HttpOutcome::Aborted:
        assert(transfer.Failure != INETFILE_OK);
        if (transfer.Failure == INETFILE_CANCELLED ||
            transfer.Failure == INETFILE_ERR_SERVER_REFUSED) {
          code = transfer.Failure;  // the text stays, as for any failed transfer
        } else {
          Fail(transfer.Failure);
        }
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

}  // namespace varo
