#include "platform/OutputFile.h"

#include <cstring>
#include <utility>

namespace varo::platform {
namespace {

// Large enough that the system's per-call cost vanishes beside the copy.
constexpr std::size_t kBufferSize = std::size_t{256} << 10;

}  // namespace

OutputFile::~OutputFile() {
  if (IsOpen()) {
    Close(false);
  }
}

HResult OutputFile::Create(const std::filesystem::path& file) {
  if (IsOpen()) {
    Close(false);
  }
  const HResult result = OpenFresh(file);
  if (Succeeded(result)) {
    Buffer.resize(kBufferSize);
    Held = 0;
    NotStarted = 0;
  }
  return result;
}

HResult OutputFile::Append(const std::filesystem::path& file, std::uint64_t size) {
  if (IsOpen()) {
    Close(false);
  }
  const HResult result = OpenExisting(file, size);
  if (Succeeded(result)) {
    Buffer.resize(kBufferSize);
    Held = 0;
    NotStarted = 0;
  }
  return result;
}

bool OutputFile::Write(const char* data, std::size_t size) {
  if (!IsOpen()) {
    return false;
  }
  if (Held + size > Buffer.size()) {
    if (!Flush()) {
      return false;
    }
    if (size >= Buffer.size()) {
      return WriteOut(data, size);
    }
  }
  std::memcpy(Buffer.data() + Held, data, size);
  Held += size;
  return true;
}

bool OutputFile::Flush() {
  if (!IsOpen()) {
    return false;
  }
  const std::size_t count = Held;
  Held = 0;
  return WriteOut(Buffer.data(), count);
}

bool OutputFile::Close(bool durable) {
  if (!IsOpen()) {
    return false;
  }
  const bool flushed = Flush();
  const bool released = Release(durable && flushed);
  Buffer = {};
  return flushed && released;
}

}  // namespace varo::platform
