// platform::OutputFile on POSIX: Append, which continues an existing file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/OutputFile.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

// Append goes on after the bytes kept, cutting off any beyond them, and
// fails on a file shorter than that.
TEST(PosixOutputFileTest, AppendGoesOnAfterTheBytesKept) {
  test::TempDir dir;
  const fs::path file = dir / "part.bin";
  const std::string tail(300'000, 't');  // more than one buffer's worth
  for (const std::string& before : {std::string("head;"), std::string("head;\0\0\0", 8)}) {
    SCOPED_TRACE(before.size());
    test::WriteFile(file, before);
    OutputFile longer;
    EXPECT_NE(longer.Append(file, before.size() + 1), kOk) << "shorter than the bytes to keep";
    EXPECT_FALSE(longer.IsOpen());
    EXPECT_EQ(test::ReadFile(file), before);
    OutputFile output;
    ASSERT_EQ(output.Append(file, 5), kOk);
    EXPECT_EQ(output.Size(), 5u);
    ASSERT_TRUE(output.Write("x", 1));
    ASSERT_TRUE(output.Write(tail.data(), tail.size()));
    EXPECT_EQ(output.Size(), 6 + tail.size());
    ASSERT_TRUE(output.Close(true));
    EXPECT_TRUE(test::ReadFile(file) == "head;x" + tail);
  }
}

// Append creates nothing, opens no folder or special file (a FIFO without
// blocking), never follows a link and never writes to a file that has
// another name as well (a hard link): it fails and leaves everything as it
// was.
TEST(PosixOutputFileTest, AppendOpensOnlyAnExistingRegularFile) {
  test::TempDir dir;
  test::WriteFile(dir / "folder" / "inside", "kept");
  const std::string other = "someone else's";
  test::WriteFile(dir / "elsewhere", other);
  fs::create_symlink(dir / "elsewhere", dir / "link");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  fs::create_hard_link(dir / "elsewhere", dir / "hard");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  // Each with the size it has, so that only its kind refuses it.
  const std::vector<std::pair<fs::path, std::uint64_t>> refused{
      {dir / "missing", 0},         {dir / "folder", 0},   {dir / "gone" / "file", 0},
      {dir / "link", other.size()}, {dir / "dangling", 0}, {dir / "fifo", 0},
      {dir / "hard", other.size()},
  };
  for (const auto& [path, size] : refused) {
    SCOPED_TRACE(path.string());
    OutputFile output;
    EXPECT_NE(output.Append(path, size), kOk);
    EXPECT_FALSE(output.IsOpen());
    EXPECT_FALSE(output.Write("x", 1));
  }
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  EXPECT_EQ(test::ReadFile(dir / "folder" / "inside"), "kept");
  EXPECT_EQ(test::ReadFile(dir / "elsewhere"), other);
}

// Told how large the file will be, the file gets room set aside a little
// ahead of the writes (never all of a large plan at once) without a change
// of its size; closed short of its plan, it gives the room past its end
// back, and what was written stays.
TEST(PosixOutputFileTest, RoomIsSetAsideAheadOfTheWritesAndGivenBack) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  test::TempDir dir;
  const fs::path file = dir / "big.bin";
  const auto allocated = [&file] {
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0);
    return static_cast<std::uint64_t>(status.st_blocks) * 512;
  };
  {
    const int probe = ::open((dir / "probe").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(probe, 0);
    const bool supported = ::fallocate(probe, FALLOC_FL_KEEP_SIZE, 0, 4096) == 0;
    ::close(probe);
    if (!supported) {
      GTEST_SKIP() << "the file system here sets no room aside";
    }
  }
  OutputFile output;
  ASSERT_EQ(output.Create(file), kOk);
  output.Reserve(std::uint64_t{1} << 30);
  const std::string block(kMiB, 'b');
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(output.Write(block.data(), block.size()));
  }
  ASSERT_TRUE(output.Flush());
  EXPECT_EQ(fs::file_size(file), 3 * kMiB);
  EXPECT_GE(allocated(), 3 * kMiB + 32 * kMiB) << "room ahead of the writes";
  EXPECT_LE(allocated(), 3 * kMiB + 65 * kMiB) << "not the whole gigabyte";
  ASSERT_TRUE(output.Close(false));
  EXPECT_EQ(fs::file_size(file), 3 * kMiB);
  EXPECT_LE(allocated(), 4 * kMiB) << "the room past the end is given back";
  EXPECT_TRUE(test::ReadFile(file) == block + block + block);
}

}  // namespace
}  // namespace varo::platform
