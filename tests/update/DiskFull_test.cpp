// A download that cannot be written because the disk is full, on a small
// file system of its own: the run ends on that file, and the old file stays
// whole.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/TempDir.h"
#include "support/WholeRun.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

// A 256 KiB tmpfs mounted for the test's life; Mounted() false where the
// machine does not let the test mount one (no root, no privilege).
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const fs::path& at) : At(at) {
    fs::create_directories(At);
    if (::mount("tmpfs", At.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0755") == 0) {
      Ok = true;
    } else {
      Why = std::strerror(errno);
    }
  }
  ~SmallFileSystem() {
    if (Ok) {
      ::umount2(At.c_str(), MNT_DETACH);
    }
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  bool Mounted() const { return Ok; }
  const std::string& Reason() const { return Why; }

 private:
  fs::path At;
  bool Ok = false;
  std::string Why;
};

TEST(DiskFullTest, TheRunEndsOnTheFileAndTheOldOneStaysWhole) {
  test::TempDir mountPoint;
  SmallFileSystem disk(mountPoint / "disk");
  if (!disk.Mounted()) {
    GTEST_SKIP() << "no small file system could be mounted here: " << disk.Reason();
  }
  test::WholeRun run(mountPoint / "disk" / "game");
  const std::string old(100 * 1024, 'o');
  test::WriteFile(run.Install / "big.pak", old);
  test::WriteFile(run.Install / "small.dat", "old small");
  const std::string big(400 * 1024, 'n');
  run.Server.Serve("/small", "new small");
  run.Server.Serve("/big", big);
  run.Run(
      "<UpdateList>"
      "<File><FileName>small.dat</FileName><FileDateHigh>2000000000</FileDateHigh><URL>" +
      run.Server.Url("/small") +
      "</URL><Length>9</Length></File>"
      "<File><FileName>big.pak</FileName><FileDateHigh>2000000000</FileDateHigh><URL>" +
      run.Server.Url("/big") + "</URL><Length>409600</Length></File></UpdateList>");
  EXPECT_TRUE(run.Ended);
  EXPECT_EQ(test::ReadFile(run.Install / "small.dat"), "new small");
  EXPECT_EQ(test::ReadFile(run.Install / "big.pak"), old) << "the old file stays whole";
  EXPECT_EQ(run.Boxes,
            std::vector<std::string>{"可能由于网络原因，下载文件失败 [big.pak], 错误代码 [7] "});
  EXPECT_TRUE(run.Desktop->Starts().empty()) << "no client after a failed update";
}

}  // namespace
}  // namespace varo
