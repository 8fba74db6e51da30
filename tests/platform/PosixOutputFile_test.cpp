// platform::OutputFile on POSIX: Append, which continues an existing file.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

}  // namespace
}  // namespace varo::platform
