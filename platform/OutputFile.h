#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/Result.h"

namespace varo::platform {

// A file written from scratch, buffered in large blocks. Create makes it
// afresh: whatever stands at the name (a file, a link, a FIFO, a device
// node) is removed first, and the new file is created exclusively without
// following a link, so no write ever reaches another file through that
// name and no open blocks on a special file. A folder at the name is never
// removed: Create fails. One object writes one file; it is used by one
// thread at a time.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Writes out what is buffered and closes the file when Close was not
  // called; a failure there goes unreported (the file is partial anyway).
  ~OutputFile();

  // kOk, or the failure code of the platform's error (a missing folder on
  // the path among them).
  HResult Create(const std::filesystem::path& file);

  // Opens the regular file at the name to append to its first keep bytes:
  // it must hold at least that many (fails otherwise), and any beyond them
  // are cut off. A link at the name is never followed, a special file is
  // never opened, and a file that has other names as well (hard links) is
  // never written (all fail), nor is anything created: a missing file fails
  // too.
  HResult Append(const std::filesystem::path& file, std::uint64_t keep);

  // Appends bytes; false when they cannot be written.
  bool Write(const char* data, std::size_t size);

  // Writes out what is buffered and closes the file; when durable, its
  // content reaches the disk before Close returns. False when any of it
  // failed.
  bool Close(bool durable);

  // Writes out what is buffered; false when it cannot be written.
  bool Flush();

  // Tells how many bytes the file will hold in all. Room for them is then
  // set aside on the disk a little ahead of the writes, so that the file is
  // laid out in large pieces as it grows and the system need not find room
  // for it while it puts the written bytes on the disk. The file's size
  // does not change, and never more than 64 MiB beyond what was written is
  // held, so a download that ends early leaves little unused room.
  // Where the system cannot, nothing is set aside.
  void Reserve(std::uint64_t total);

  bool IsOpen() const { return Handle >= 0; }
  // The bytes the file holds, those in the buffer included: after Close,
  // those it holds on the disk, unless Close failed.
  std::uint64_t Size() const { return Written + Held; }
  // Bytes written but still in the buffer.
  std::size_t Buffered() const { return Held; }

 private:
  // What each system supplies: removes whatever stands at the name and
  // creates the file exclusively, setting Handle; writes all of a block;
  // closes Handle (after putting the content on the disk when durable).
  HResult OpenFresh(const std::filesystem::path& file);
  // Opens an existing regular file of at least keep bytes, not through a
  // link, cuts it to keep bytes and sets Handle to write after them.
  HResult OpenExisting(const std::filesystem::path& file, std::uint64_t keep);
  bool WriteOut(const char* data, std::size_t size);
  bool Release(bool durable);
  // Sets aside room for length bytes from offset on, without changing the
  // file's size; false when the system cannot.
  bool SetAside(std::uint64_t offset, std::uint64_t length);

  // Writes out a block and keeps room set aside ahead of it.
  bool Put(const char* data, std::size_t size);
  void ReserveAhead();

  // A POSIX descriptor or a Windows handle; -1 when no file is open.
  std::intptr_t Handle = -1;
  std::unique_ptr<char[]> Buffer;  // of a fixed size, while a file is open
  std::size_t Held = 0;            // bytes waiting in Buffer
  // Bytes written out since the system was last asked to start putting
  // them on the disk (POSIX).
  std::uint64_t NotStarted = 0;
  // The file's size as written out so far; the size it will have in all
  // (0 while not told); the end of the room set aside for it.
  std::uint64_t Written = 0;
  std::uint64_t Planned = 0;
  std::uint64_t Reserved = 0;
};

}  // namespace varo::platform
