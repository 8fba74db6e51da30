#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "Links.h"
#include "TinyFileSystem.h"
#include "platform/OutputFile.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBlock = std::size_t{256} << 10;

// Bytes that differ from one offset to the next, so that a piece written
// twice, lost or out of order shows.
std::string Pattern(std::size_t size, std::size_t start) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>((start + i) * 7 % 251);
  }
  return text;
}

// The error of opening the file for reading, sharing everything; 0 when it
// opens.
DWORD OpenError(const fs::path& file) {
  const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return ::GetLastError();
  }
  ::CloseHandle(handle);
  return 0;
}

class WinOutputFileTest : public ::testing::Test {
 protected:
  fs::path File() const { return Dir / "out.bin"; }
  test::TempDir Dir;
};

TEST_F(WinOutputFileTest, WritesEveryPieceInOrder) {
  const struct {
    const char* What;
    std::vector<std::size_t> Pieces;
    bool Durable;
  } cases[] = {
      {"nothing", {}, false},
      {"empty pieces", {0, 0}, true},
      {"small pieces across several blocks", std::vector<std::size_t>(700, 1000), false},
      {"one piece of exactly a block", {kBlock}, true},
      {"a piece larger than a block after a small one", {10, 3 * kBlock + 5, 1}, false},
      {"pieces that fill the block to the byte", {kBlock - 1, 1, kBlock}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    OutputFile output;
    ASSERT_EQ(output.Create(File()), kOk);
    std::string expected;
    for (const std::size_t size : c.Pieces) {
      const std::string piece = Pattern(size, expected.size());
      ASSERT_TRUE(output.Write(piece.data(), piece.size()));
      expected += piece;
    }
    ASSERT_TRUE(output.Close(c.Durable));
    EXPECT_FALSE(output.IsOpen());
    EXPECT_TRUE(test::ReadFile(File()) == expected) << "the content differs";
  }
}

// Small writes wait in the buffer; nobody else can open the file while it
// is written.
TEST_F(WinOutputFileTest, HoldsSmallWritesAndTheFileToItself) {
  OutputFile output;
  ASSERT_EQ(output.Create(File()), kOk);
  ASSERT_TRUE(output.Write("0123456789", 10));
  EXPECT_EQ(output.Buffered(), 10u);
  EXPECT_EQ(fs::file_size(File()), 0u);
  EXPECT_EQ(OpenError(File()), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  ASSERT_TRUE(output.Flush());
  EXPECT_EQ(output.Buffered(), 0u);
  EXPECT_EQ(fs::file_size(File()), 10u);
  ASSERT_TRUE(output.Write("ab", 2));
  ASSERT_TRUE(output.Close(false));
  EXPECT_EQ(test::ReadFile(File()), "0123456789ab");
  EXPECT_EQ(OpenError(File()), 0u);

  EXPECT_FALSE(output.Write("x", 1)) << "written after Close";
  EXPECT_FALSE(output.Flush());
  EXPECT_FALSE(output.Close(false));
}

TEST_F(WinOutputFileTest, TheDestructorWritesWhatIsBuffered) {
  {
    OutputFile output;
    ASSERT_EQ(output.Create(File()), kOk);
    ASSERT_TRUE(output.Write("kept", 4));
  }
  EXPECT_EQ(test::ReadFile(File()), "kept");
}

// A longer old file leaves none of its bytes behind.
TEST_F(WinOutputFileTest, CreateStartsFromAnEmptyNewFile) {
  test::WriteFile(File(), std::string(1000, 'o'));
  OutputFile output;
  ASSERT_EQ(output.Create(File()), kOk);
  ASSERT_TRUE(output.Write("new", 3));
  ASSERT_TRUE(output.Close(true));
  EXPECT_EQ(test::ReadFile(File()), "new");
}

TEST_F(WinOutputFileTest, CreateFailsWhereNoFileCanBeMade) {
  test::WriteFile(Dir / "folder" / "inside", "kept");
  test::WriteFile(Dir / "locked", "read-only");
  ASSERT_TRUE(::SetFileAttributesW((Dir / "locked").c_str(), FILE_ATTRIBUTE_READONLY));
  const struct {
    fs::path Path;
    HResult Expected;
  } cases[] = {
      {Dir / "folder", HResultFromError(ERROR_ACCESS_DENIED)},
      {Dir / "missing" / "file", HResultFromError(ERROR_PATH_NOT_FOUND)},
      {Dir / "locked", HResultFromError(ERROR_ACCESS_DENIED)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path.string());
    OutputFile output;
    EXPECT_EQ(output.Create(c.Path), c.Expected);
    EXPECT_FALSE(output.IsOpen());
    EXPECT_FALSE(output.Write("x", 1));
  }
  EXPECT_EQ(test::ReadFile(Dir / "folder" / "inside"), "kept");
  EXPECT_EQ(test::ReadFile(Dir / "locked"), "read-only");
  EXPECT_FALSE(fs::exists(Dir / "missing"));
}

// A file system that fills up: a write or the closing flush fails, never
// both succeed.
TEST(WinOutputFileFullDiskTest, AWritePastTheFreeSpaceFails) {
  const test::TinyFolder tiny;
  if (!tiny.Path()) {
    GTEST_SKIP() << test::kNoTinyFileSystem;
  }
  for (const bool durable : {false, true}) {
    SCOPED_TRACE(durable);
    const fs::path file = *tiny.Path() / "big.bin";
    OutputFile output;
    ASSERT_EQ(output.Create(file), kOk);
    const std::string piece = Pattern(std::size_t{64} << 10, 0);
    bool written = true;
    for (int i = 0; i < 32 && written; ++i) {  // 2 MiB onto 1 MiB
      written = output.Write(piece.data(), piece.size());
    }
    const bool closed = output.Close(durable);
    EXPECT_FALSE(written && closed);
    EXPECT_FALSE(output.IsOpen());
    std::error_code ignored;
    fs::remove(file, ignored);
  }
}

TEST_F(WinOutputFileTest, ADeviceNameIsNoFile) {
  OutputFile output;
  EXPECT_NE(output.Create("NUL"), kOk);
  EXPECT_FALSE(output.IsOpen());
}

// The link goes and a new file takes its name; what it named stays as it
// was.
TEST_F(WinOutputFileTest, ALinkAtTheNameIsReplacedNotFollowed) {
  test::WriteFile(Dir / "elsewhere", "someone else's");
  if (!test::MakeSymbolicLink(File(), Dir / "elsewhere", false)) {
    GTEST_SKIP() << test::kNoLinks;
  }
  OutputFile output;
  ASSERT_EQ(output.Create(File()), kOk);
  ASSERT_TRUE(output.Write("mine", 4));
  ASSERT_TRUE(output.Close(false));
  EXPECT_FALSE(test::IsReparsePoint(File()));
  EXPECT_EQ(test::ReadFile(File()), "mine");
  EXPECT_EQ(test::ReadFile(Dir / "elsewhere"), "someone else's");
}

// Append goes on after the bytes kept, cutting off any beyond them, with
// the same buffering as Create, and fails on a file shorter than that.
TEST_F(WinOutputFileTest, AppendGoesOnAfterTheBytesKept) {
  const std::string head = Pattern(1000, 0);
  const std::string tail = Pattern(kBlock + 10, head.size());
  for (const std::string& before : {head, head + std::string(300, '\0')}) {
    SCOPED_TRACE(before.size());
    test::WriteFile(File(), before);
    OutputFile longer;
    EXPECT_NE(longer.Append(File(), before.size() + 1), kOk) << "shorter than the bytes to keep";
    EXPECT_FALSE(longer.IsOpen());
    EXPECT_TRUE(test::ReadFile(File()) == before);
    OutputFile output;
    ASSERT_EQ(output.Append(File(), head.size()), kOk);
    ASSERT_TRUE(output.Write(tail.data(), 10));
    ASSERT_TRUE(output.Write(tail.data() + 10, tail.size() - 10));
    EXPECT_EQ(output.Size(), head.size() + tail.size());
    ASSERT_TRUE(output.Close(true));
    EXPECT_TRUE(test::ReadFile(File()) == head + tail);
  }
}

// Append creates nothing, opens no folder or device, and never follows a
// link: it fails and leaves everything as it was.
TEST_F(WinOutputFileTest, AppendOpensOnlyAnExistingPlainFile) {
  test::WriteFile(Dir / "folder" / "inside", "kept");
  test::WriteFile(Dir / "elsewhere", "someone else's");
  const bool linked = test::MakeSymbolicLink(Dir / "link", Dir / "elsewhere", false);
  std::vector<fs::path> refused{Dir / "missing", Dir / "folder", Dir / "gone" / "file", "NUL"};
  if (linked) {
    refused.push_back(Dir / "link");
  }
  for (const fs::path& path : refused) {
    SCOPED_TRACE(path.string());
    OutputFile output;
    EXPECT_NE(output.Append(path, 0), kOk);
    EXPECT_FALSE(output.IsOpen());
    EXPECT_FALSE(output.Write("x", 1));
  }
  EXPECT_FALSE(fs::exists(Dir / "missing"));
  EXPECT_EQ(test::ReadFile(Dir / "folder" / "inside"), "kept");
  EXPECT_EQ(test::ReadFile(Dir / "elsewhere"), "someone else's");
  if (!linked) {
    GTEST_SKIP() << "the other names were refused; " << test::kNoLinks;
  }
}

}  // namespace
}  // namespace varo::platform
