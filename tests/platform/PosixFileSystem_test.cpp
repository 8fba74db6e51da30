#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/FileSystem.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

// 1970-01-01 as a FILETIME (100-ns intervals since 1601-01-01).
constexpr std::uint64_t kUnixEpoch = 116444736000000000u;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  test::TempDir Dir;
};

TEST_F(PosixFileSystemTest, OnlyRegularFilesCanBeOpenedForReading) {
  test::WriteFile(Dir / "file", "12345");
  fs::create_directory(Dir / "folder");
  EXPECT_TRUE(CanOpenForReading(Dir / "file"));
  EXPECT_EQ(GetFileSize(Dir / "file"), std::optional<std::uint64_t>(5));
  for (const fs::path& path : {Dir / "folder", Dir / "missing"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(CanOpenForReading(path));
    EXPECT_EQ(GetFileSize(path), std::nullopt);
  }
}

TEST_F(PosixFileSystemTest, WriteTimeIsAFileTime) {
  using namespace std::chrono;
  const fs::path file = Dir / "file";
  test::WriteFile(file, "x");
  const struct {
    sys_time<nanoseconds> Written;
    std::uint64_t Expected;
  } cases[]{
      {sys_days{year{2021} / 3 / 4} + 5h + 6min + 7s + 123456789ns,
       kUnixEpoch + 1614834367'1234567u},
      {sys_days{year{1970} / 1 / 1} - 500ms, kUnixEpoch - 5'000'000u},
      {sys_days{year{1970} / 1 / 1}, kUnixEpoch},
  };
  for (const auto& c : cases) {
    fs::last_write_time(file, file_clock::from_sys(c.Written));
    FileTime time;
    ASSERT_EQ(GetFileWriteTime(file, time), kOk);
    EXPECT_EQ(time.Value(), c.Expected);
    EXPECT_EQ(time, FileTime::FromValue(c.Expected));
  }

  fs::create_directory(Dir / "folder");
  FileTime untouched = FileTime::FromValue(42);
  EXPECT_EQ(GetFileWriteTime(Dir / "missing", untouched), HResultFromError(ENOENT));
  EXPECT_EQ(GetFileWriteTime(Dir / "folder", untouched), HResultFromError(EISDIR));
  EXPECT_EQ(untouched.Value(), 42u);
}

TEST_F(PosixFileSystemTest, ReadOnlyMeansOwnerWriteBitClear) {
  test::WriteFile(Dir / "locked", "x");
  test::WriteFile(Dir / "open", "x");
  fs::permissions(Dir / "locked",
                  fs::perms::owner_read | fs::perms::group_write | fs::perms::others_write);
  fs::permissions(Dir / "open", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(IsReadOnly(Dir / "locked"));
  EXPECT_FALSE(IsReadOnly(Dir / "open"));
  EXPECT_FALSE(IsReadOnly(Dir / "missing"));
}

TEST_F(PosixFileSystemTest, ReplaceFilePutsTheNewFileInPlaceWhole) {
  test::WriteFile(Dir / "target", "old content");
  test::WriteFile(Dir / "target.update", "new content, longer");
  // A reader of the old file keeps the old file whole: it is replaced, not
  // rewritten in place.
  std::ifstream reader(Dir / "target", std::ios::binary);
  ASSERT_TRUE(reader);

  ASSERT_EQ(ReplaceFile(Dir / "target.update", Dir / "target", false), kOk);
  EXPECT_EQ(test::ReadFile(Dir / "target"), "new content, longer");
  EXPECT_FALSE(fs::exists(Dir / "target.update"));
  std::string old((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
  EXPECT_EQ(old, "old content");

  ASSERT_EQ(ReplaceFile(Dir / "absent.update", Dir / "target", false), HResultFromError(ENOENT));
  EXPECT_EQ(test::ReadFile(Dir / "target"), "new content, longer");

  ASSERT_EQ(ReplaceFile(Dir / "target", Dir / "fresh", false), kOk);
  EXPECT_EQ(test::ReadFile(Dir / "fresh"), "new content, longer");
}

TEST_F(PosixFileSystemTest, ReplacingNeverTakesASourceThatIsNoPlainFile) {
  test::WriteFile(Dir / "elsewhere", "elsewhere");
  fs::create_symlink(Dir / "elsewhere", Dir / "link.update");
  ASSERT_EQ(::mkfifo((Dir / "fifo.update").c_str(), 0644), 0);
  for (const char* source : {"link.update", "fifo.update"}) {
    SCOPED_TRACE(source);
    test::WriteFile(Dir / "target", "old");
    EXPECT_NE(ReplaceFile(Dir / source, Dir / "target", false), kOk);
    EXPECT_EQ(test::ReadFile(Dir / "target"), "old");
  }
}

TEST_F(PosixFileSystemTest, ResolvesWithinFollowsEveryLinkOnThePath) {
  const fs::path base = Dir / "base";
  fs::create_directories(base / "inner");
  fs::create_directories(Dir / "outside");
  fs::create_directory_symlink(Dir / "outside", base / "out");
  fs::create_directory_symlink(base / "inner", base / "in");
  fs::create_directory_symlink("..", base / "inner" / "up");
  fs::create_directory_symlink(base, Dir / "alias");
  struct Case {
    fs::path File;
    bool Within;
  };
  const Case cases[] = {
      {base / "a.dll", true},
      {base / "inner" / "a.dll", true},
      {base / "in" / "a.dll", true},
      {base / "inner" / "up" / "a.dll", true},
      {base / "new" / "folders" / "a.dll", true},
      {base / "out" / "a.dll", false},
      {base / "inner" / "up" / "out" / "new" / "a.dll", false},
      {base / "inner" / "up" / "inner" / "up" / "a.dll", true},
      {base / "new" / ".." / ".." / "a.dll", false},
      {Dir / "base2" / "a.dll", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File);
    EXPECT_EQ(ResolvesWithin(base, c.File), c.Within);
  }
  EXPECT_TRUE(ResolvesWithin(Dir / "alias", base / "a.dll")) << "the base is resolved too";
}

TEST_F(PosixFileSystemTest, IsLinkLooksAtTheLastNameOnly) {
  fs::create_directories(Dir / "folder");
  test::WriteFile(Dir / "folder" / "file", "x");
  fs::create_symlink(Dir / "folder" / "file", Dir / "file-link");
  fs::create_symlink(Dir / "nowhere", Dir / "dangling");
  fs::create_directory_symlink(Dir / "folder", Dir / "folder-link");
  ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0600), 0);
  struct Case {
    fs::path Path;
    bool Link;
  };
  const Case cases[] = {
      {Dir / "file-link", true},
      {Dir / "dangling", true},
      {Dir / "folder-link", true},
      {Dir / "folder-link" / "file", false},
      {Dir / "folder" / "file", false},
      {Dir / "folder", false},
      {Dir / "fifo", false},
      {Dir / "missing", false},
      {Dir / "missing" / "file", false},
      {Dir / "folder" / "file" / "below", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(IsLink(c.Path), c.Link);
  }
}

TEST_F(PosixFileSystemTest, MayHoldLinksUnlessAListingShowsNone) {
  const auto folder = [this](const char* name) {
    fs::create_directories(Dir / name / "sub");
    test::WriteFile(Dir / name / "file", "x");
    return Dir / name;
  };
  const fs::path plain = folder("plain");
  fs::create_directories(Dir / "empty");
  fs::create_symlink(folder("target") / "file", folder("file-link") / "link");
  fs::create_symlink(Dir / "nowhere", folder("dangling") / "link");
  fs::create_directory_symlink(Dir / "target", folder("folder-link") / "link");
  fs::create_symlink(Dir / "target" / "file", folder("deeper") / "sub" / "link");
  struct Case {
    fs::path Folder;
    bool MayHold;
  };
  const Case cases[] = {
      {plain, false},
      {Dir / "empty", false},
      {Dir / "deeper", false},  // the link lies in a folder below
      {Dir / "deeper" / "sub", true},
      {Dir / "file-link", true},
      {Dir / "dangling", true},
      {Dir / "folder-link", true},
      {Dir / "folder-link" / "link", false},  // the folder it leads to
      {Dir / "missing", true},
      {plain / "file", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Folder);
    EXPECT_EQ(MayHoldLinks(c.Folder), c.MayHold);
  }
}

// A folder that may not be searched hides what its names are: they may be
// links.
TEST_F(PosixFileSystemTest, IsLinkCannotTellBehindAClosedFolder) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root searches every folder";
  }
  fs::create_directories(Dir / "closed");
  test::WriteFile(Dir / "closed" / "file", "x");
  fs::permissions(Dir / "closed", fs::perms::owner_read);
  const bool link = IsLink(Dir / "closed" / "file");
  fs::permissions(Dir / "closed", fs::perms::owner_exec);
  const bool listedLinks = MayHoldLinks(Dir / "closed");
  fs::permissions(Dir / "closed", fs::perms::owner_all);
  EXPECT_TRUE(link);
  EXPECT_TRUE(listedLinks) << "a folder that cannot be listed";
}

TEST_F(PosixFileSystemTest, CreateTempFileInTheTemporaryDirectory) {
  const char* saved = std::getenv("TMPDIR");
  const std::optional<std::string> previous =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  ASSERT_EQ(::setenv("TMPDIR", Dir.Path().c_str(), 1), 0);
  const std::optional<fs::path> first = CreateTempFile("Xml");
  const std::optional<fs::path> second = CreateTempFile("Xml");
  if (previous) {
    ::setenv("TMPDIR", previous->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  for (const fs::path& file : {*first, *second}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(file.parent_path(), Dir.Path());
    EXPECT_TRUE(file.filename().string().starts_with("Xml"));
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::file_size(file), 0u);
  }
  EXPECT_TRUE(RemoveFile(*first));
  EXPECT_FALSE(fs::exists(*first));
  EXPECT_TRUE(RemoveFile(*first));  // already gone
}

TEST_F(PosixFileSystemTest, MakeDirectory) {
  EXPECT_EQ(MakeDirectory(Dir / "new"), kOk);
  EXPECT_TRUE(fs::is_directory(Dir / "new"));
  EXPECT_EQ(MakeDirectory(Dir / "new"), kOk);
  EXPECT_EQ(MakeDirectory(Dir / "missing" / "child"), HResultFromError(ENOENT));
  test::WriteFile(Dir / "file", "x");
  EXPECT_EQ(MakeDirectory(Dir / "file"), HResultFromError(EEXIST));
  EXPECT_TRUE(fs::is_regular_file(Dir / "file"));
}

}  // namespace
}  // namespace varo::platform
