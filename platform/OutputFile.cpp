#include "platform/OutputFile.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace varo::platform {
namespace {

// Large enough that the system's per-call cost vanishes beside the copy.
constexpr std::size_t kBufferSize = std::size_t{256} << 10;

// How far room is set aside ahead of the writes: it is topped up to this
// when less than half of it is left.
constexpr std::uint64_t kReserveAhead = std::uint64_t{64} << 20;

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
    // Not filled: only what is written into it is ever read, and a small
    // file touches only the first pages.
    Buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
    Held = 0;
    NotStarted = 0;
    Written = Planned = Reserved = 0;
  }
  return result;
}

HResult OutputFile::Append(const std::filesystem::path& file, std::uint64_t keep) {
  if (IsOpen()) {
    Close(false);
  }
  const HResult result = OpenExisting(file, keep);
  if (Succeeded(result)) {
    Buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
    Held = 0;
    NotStarted = 0;
    Written = Reserved = keep;
    Planned = 0;
  }
  return result;
}

bool OutputFile::Write(const char* data, std::size_t size) {
  if (!IsOpen()) {
    return false;
  }
  if (Held + size > kBufferSize) {
    if (!Flush()) {
      return false;
    }
    if (size >= kBufferSize) {
      return Put(data, size);
    }
  }
  std::memcpy(Buffer.get() + Held, data, size);
  Held += size;
  return true;
}

bool OutputFile::Flush() {
  if (!IsOpen()) {
    return false;
  }
  const std::size_t count = Held;
  Held = 0;
  return count == 0 || Put(Buffer.get(), count);
}

void OutputFile::Reserve(std::uint64_t total) {
  if (IsOpen()) {
    Planned = total;
    ReserveAhead();
  }
}

bool OutputFile::Put(const char* data, std::size_t size) {
  if (!WriteOut(data, size)) {
    return false;
  }
  Written += size;
  ReserveAhead();
  return true;
}

void OutputFile::ReserveAhead() {
  if (Reserved >= Planned || Reserved - std::min(Reserved, Written) >= kReserveAhead / 2) {
    return;
  }
  const std::uint64_t from = std::max(Reserved, Written);
  const std::uint64_t to = std::min(Planned, Written + kReserveAhead);
  if (from < to && !SetAside(from, to - from)) {
    Planned = 0;  // the system cannot: the file grows as it is written
    return;
  }
  Reserved = std::max(Reserved, to);
}

bool OutputFile::Close(bool durable) {
  if (!IsOpen()) {
    return false;
  }
  const bool flushed = Flush();
  const bool released = Release(durable && flushed);
  Buffer.reset();
  return flushed && released;
}

}  // namespace varo::platform
