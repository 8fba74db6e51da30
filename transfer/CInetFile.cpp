#include "transfer/CInetFile.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <exception>
#include <fstream>

#include "platform/FileSystem.h"
#include "platform/Http.h"

namespace varo {

std::filesystem::path DownloadedFileOf(const std::filesystem::path& target) {
  std::filesystem::path downloaded = target;
  downloaded += ".update";
  return downloaded;
}
namespace {

// The piece of the body that one write and one progress notification cover.
constexpr std::size_t kChunkSize = 1024;

constexpr int kStatusOk = 200;

}  // namespace

// Receives the response of one run on the worker thread. The target file is
// opened only once the final status is known to be 200, so any other status
// leaves the local file untouched. It never throws through the HTTP client:
// a failure is kept in Failure and ends the transfer.
class CInetFile::Transfer final : public platform::HttpSink {
 public:
  explicit Transfer(CInetFile& job) : Job(job) {}

  bool OnResponse(int status) override {
    if (status != kStatusOk) {
      return Stop(INETFILE_ERR_GET_FILE);
    }
    if (!OpenTarget()) {
      return Stop(INETFILE_ERR_CREATE_LOCAL);
    }
    Job.BytesReceived.store(0, std::memory_order_relaxed);
    return true;
  }

  // However the client cuts the body into blocks, it goes on in full chunks
  // of kChunkSize bytes, as reads of that size would return them; only the
  // last chunk of a complete body (see Finish) may be shorter. Bytes held
  // back when the transfer ends otherwise are never written.
  bool OnData(const char* data, std::size_t size) override {
    while (size > 0) {
      const std::size_t taken = std::min(size, Buffer.size() - Held);
      std::memcpy(Buffer.data() + Held, data, taken);
      Held += taken;
      data += taken;
      size -= taken;
      if (Held == Buffer.size() && !PassChunk()) {
        return false;
      }
    }
    return true;
  }

  bool KeepGoing() override { return !Job.CancelRequested.load() || Stop(INETFILE_CANCELLED); }

  // Passes on the last chunk of a complete body; false (with Failure set)
  // when it cannot be written or the run was cancelled after it.
  bool Finish() { return Held == 0 || PassChunk(); }

  // Closes the target after a complete body; false when its last bytes could
  // not be written.
  bool Close() {
    File.close();
    return !File.fail();
  }

  // Why the transfer was ended from this side; INETFILE_OK while it was not.
  std::int32_t Failure = INETFILE_OK;

 private:
  bool Stop(std::int32_t code) {
    Failure = code;
    return false;
  }

  // Writes the held chunk, counts it, notifies the window of it, then looks
  // at the cancel flag.
  bool PassChunk() {
    const std::size_t count = Held;
    Held = 0;
    if (!File.write(Buffer.data(), static_cast<std::streamsize>(count))) {
      return Stop(INETFILE_ERR_CREATE_LOCAL);
    }
    Job.BytesReceived.fetch_add(static_cast<std::uint32_t>(count), std::memory_order_relaxed);
    Job.Notify(WM_INETFILE_PROGRESS, static_cast<std::uint32_t>(count));
    if (Job.CancelRequested.load()) {
      return Stop(INETFILE_CANCELLED);
    }
    return true;
  }

  // Opens the target for writing, creating or truncating it. When that
  // fails, creates the folders on its path one by one from the root down (a
  // folder that exists counts as made; folders made stay) and tries once
  // more.
  bool OpenTarget() {
    const std::filesystem::path target =
        Job.Kind == kInetFileData ? DownloadedFileOf(Job.LocalFile) : Job.LocalFile;
    constexpr auto mode = std::ios::out | std::ios::binary | std::ios::trunc;
    File.open(target, mode);
    if (File.is_open()) {
      return true;
    }
    File.clear();
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
    File.open(target, mode);
    return File.is_open();
  }

  CInetFile& Job;
  std::ofstream File;
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
  NotifyWindow->Post({message, wParam, reinterpret_cast<std::intptr_t>(this)});
}

// Result codes: 1 for a URL that is not http or https or cannot be split
// (with its text); 2 when the transfer failed (name, connection, TLS, send or
// receive, a body shorter than announced, a stall), text unchanged; 6 for a
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
        if (transfer.Failure == INETFILE_CANCELLED) {
          code = INETFILE_CANCELLED;
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
