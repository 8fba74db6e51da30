// platform::OutputFile on POSIX: Append, which continues an existing file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/OutputFile.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

TEST(PosixOutputFileTest, AppendGoesOnAfterTheLastByte) {
  test::TempDir dir;
  const fs::path file = dir / "part.bin";
  test::WriteFile(file, "head;");
  const std::string tail(300'000, 't');  // more than one buffer's worth
  OutputFile shorter;
  EXPECT_NE(shorter.Append(file, 4), kOk) << "not of the size given";
  EXPECT_FALSE(shorter.IsOpen());
  OutputFile output;
  ASSERT_EQ(output.Append(file, 5), kOk);
  ASSERT_TRUE(output.Write("x", 1));
  ASSERT_TRUE(output.Write(tail.data(), tail.size()));
  ASSERT_TRUE(output.Close(true));
  EXPECT_TRUE(test::ReadFile(file) == "head;x" + tail);
}

// Append creates nothing, opens no folder or special file (a FIFO without
// blocking), and never follows a link: it fails and leaves everything as it
// was.
TEST(PosixOutputFileTest, AppendOpensOnlyAnExistingRegularFile) {
  test::TempDir dir;
  test::WriteFile(dir / "folder" / "inside", "kept");
  test::WriteFile(dir / "elsewhere", "someone else's");
  fs::create_symlink(dir / "elsewhere", dir / "link");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  const std::vector<fs::path> refused{dir / "missing", dir / "folder",   dir / "gone" / "file",
                                      dir / "link",    dir / "dangling", dir / "fifo"};
  for (const fs::path& path : refused) {
    SCOPED_TRACE(path.string());
    OutputFile output;
    EXPECT_NE(output.Append(path, 0), kOk);
    EXPECT_FALSE(output.IsOpen());
    EXPECT_FALSE(output.Write("x", 1));
  }
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  EXPECT_EQ(test::ReadFile(dir / "folder" / "inside"), "kept");
  EXPECT_EQ(test::ReadFile(dir / "elsewhere"), "someone else's");
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
