#include <gtest/gtest.h>
#include <windows.h>
// <windows.h> maps the name to ReplaceFileW; ours is platform::ReplaceFile.
#undef ReplaceFile

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "Links.h"
#include "platform/FileSystem.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

// 1970-01-01 as a FILETIME (100-ns intervals since 1601-01-01).
constexpr std::uint64_t kUnixEpoch = 116444736000000000u;

// A handle opened with the given access and sharing, closed on scope exit.
class Opened {
 public:
  Opened(const fs::path& file, DWORD access, DWORD sharing)
      : Value(::CreateFileW(file.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  ~Opened() { Close(); }
  void Close() {
    if (Value != INVALID_HANDLE_VALUE) {
      ::CloseHandle(Value);
      Value = INVALID_HANDLE_VALUE;
    }
  }
  bool Valid() const { return Value != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return Value; }

 private:
  HANDLE Value;
};

void SetReadOnly(const fs::path& file, bool readOnly) {
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(),
                                   readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL));
}

class WinFileSystemTest : public ::testing::Test {
 protected:
  test::TempDir Dir;
};

TEST_F(WinFileSystemTest, OnlyFilesThatAReaderCanOpenCount) {
  test::WriteFile(Dir / "file", "12345");
  test::WriteFile(Dir / "shared", "123");
  test::WriteFile(Dir / "written", "1234");
  fs::create_directory(Dir / "folder");
  // A reader that shares reading does not stand in the way; a writer that
  // shares nothing does.
  const Opened reader(Dir / "shared", GENERIC_READ, FILE_SHARE_READ);
  const Opened writer(Dir / "written", GENERIC_WRITE, 0);
  ASSERT_TRUE(reader.Valid() && writer.Valid());

  const struct {
    fs::path Path;
    std::optional<std::uint64_t> Size;
  } cases[] = {
      {Dir / "file", 5},
      {Dir / "shared", 3},
      {Dir / "written", std::nullopt},
      {Dir / "folder", std::nullopt},
      {Dir / "missing", std::nullopt},
      {"NUL", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path.string());
    EXPECT_EQ(CanOpenForReading(c.Path), c.Size.has_value());
    EXPECT_EQ(GetFileSize(c.Path), c.Size);
  }
}

// The size has a high half: a file is extended to 5 GiB without writing
// (the extension takes no space on a file system that keeps it sparse).
TEST_F(WinFileSystemTest, SizesBeyond4GiB) {
  const fs::path file = Dir / "large";
  test::WriteFile(file, "");
  constexpr std::int64_t kSize = std::int64_t{5} << 30;
  {
    const Opened writer(file, GENERIC_WRITE, 0);
    ASSERT_TRUE(writer.Valid());
    LARGE_INTEGER end{};
    end.QuadPart = kSize;
    ASSERT_TRUE(::SetFilePointerEx(writer.Get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(writer.Get()));
  }
  EXPECT_EQ(GetFileSize(file), std::optional<std::uint64_t>(kSize));
}

TEST_F(WinFileSystemTest, WriteTimeIsTheFileTimeAsStored) {
  const fs::path file = Dir / "file";
  test::WriteFile(file, "x");
  for (const std::uint64_t value : {kUnixEpoch + 1614834367'1234567u, kUnixEpoch - 5'000'000u,
                                    kUnixEpoch, std::uint64_t{0x01D7'0000'0000'0001u}}) {
    SCOPED_TRACE(value);
    {
      const Opened writer(file, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ);
      ASSERT_TRUE(writer.Valid());
      const FILETIME stored{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
      ASSERT_TRUE(::SetFileTime(writer.Get(), nullptr, nullptr, &stored));
    }
    FileTime time;
    ASSERT_EQ(GetFileWriteTime(file, time), kOk);
    EXPECT_EQ(time, FileTime::FromValue(value));
  }

  fs::create_directory(Dir / "folder");
  FileTime untouched = FileTime::FromValue(42);
  EXPECT_EQ(GetFileWriteTime(Dir / "missing", untouched), HResultFromError(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileWriteTime(Dir / "folder", untouched), HResultFromError(ERROR_ACCESS_DENIED));
  EXPECT_EQ(untouched.Value(), 42u);
}

TEST_F(WinFileSystemTest, ReadOnlyMeansTheAttribute) {
  test::WriteFile(Dir / "locked", "x");
  test::WriteFile(Dir / "open", "x");
  SetReadOnly(Dir / "locked", true);
  EXPECT_TRUE(IsReadOnly(Dir / "locked"));
  EXPECT_FALSE(IsReadOnly(Dir / "open"));
  EXPECT_FALSE(IsReadOnly(Dir / "missing"));
  SetReadOnly(Dir / "locked", false);
  EXPECT_FALSE(IsReadOnly(Dir / "locked"));
}

TEST_F(WinFileSystemTest, ReplaceFilePutsTheNewFileInPlaceWhole) {
  test::WriteFile(Dir / "target", "old content");
  test::WriteFile(Dir / "target.update", "new content, longer");
  ASSERT_EQ(ReplaceFile(Dir / "target.update", Dir / "target", false), kOk);
  EXPECT_EQ(test::ReadFile(Dir / "target"), "new content, longer");
  EXPECT_FALSE(fs::exists(Dir / "target.update"));

  ASSERT_EQ(ReplaceFile(Dir / "absent.update", Dir / "target", false),
            HResultFromError(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(test::ReadFile(Dir / "target"), "new content, longer");

  ASSERT_EQ(ReplaceFile(Dir / "target", Dir / "fresh", true), kOk);
  EXPECT_EQ(test::ReadFile(Dir / "fresh"), "new content, longer");
  EXPECT_FALSE(fs::exists(Dir / "target"));
}

// Until the replacement succeeds, both files stay as they were: a target in
// use or a folder is not touched, and the source can be tried again.
TEST_F(WinFileSystemTest, AFailedReplacementLeavesBothFilesWhole) {
  const fs::path target = Dir / "target";
  const fs::path source = Dir / "target.update";
  test::WriteFile(target, "old content");
  test::WriteFile(source, "new");
  {
    const Opened reader(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(reader.Valid());
    EXPECT_NE(ReplaceFile(source, target, false), kOk) << "replaced a file in use";
    EXPECT_EQ(test::ReadFile(target), "old content");
    EXPECT_EQ(test::ReadFile(source), "new");
  }
  test::WriteFile(Dir / "folder" / "inside", "kept");
  EXPECT_NE(ReplaceFile(source, Dir / "folder", false), kOk);
  EXPECT_EQ(test::ReadFile(Dir / "folder" / "inside"), "kept");

  ASSERT_EQ(ReplaceFile(source, target, false), kOk);
  EXPECT_EQ(test::ReadFile(target), "new");
}

TEST_F(WinFileSystemTest, AReadOnlyTargetIsNotReplaced) {
  if (test::RunningUnderWine()) {
    GTEST_SKIP() << "Wine 8 (run as root here) renames over a file whose read-only attribute "
                    "is set";
  }
  const fs::path target = Dir / "target";
  const fs::path source = Dir / "target.update";
  test::WriteFile(target, "old content");
  test::WriteFile(source, "new");
  SetReadOnly(target, true);
  EXPECT_EQ(ReplaceFile(source, target, false), HResultFromError(ERROR_ACCESS_DENIED));
  EXPECT_EQ(test::ReadFile(target), "old content");
  EXPECT_EQ(test::ReadFile(source), "new");
}

TEST_F(WinFileSystemTest, ReplacingNeverTakesASourceThatIsNoPlainFile) {
  test::WriteFile(Dir / "folder.update" / "inside", "kept");
  for (const fs::path& source : {Dir / "folder.update", fs::path("NUL")}) {
    SCOPED_TRACE(source.string());
    test::WriteFile(Dir / "target", "old");
    EXPECT_NE(ReplaceFile(source, Dir / "target", false), kOk);
    EXPECT_EQ(test::ReadFile(Dir / "target"), "old");
  }
  EXPECT_EQ(test::ReadFile(Dir / "folder.update" / "inside"), "kept");
}

TEST_F(WinFileSystemTest, ReplacingNeverTakesALinkAsTheSource) {
  test::WriteFile(Dir / "elsewhere", "elsewhere");
  test::WriteFile(Dir / "target", "old");
  if (!test::MakeSymbolicLink(Dir / "link.update", Dir / "elsewhere", false)) {
    GTEST_SKIP() << test::kNoLinks;
  }
  EXPECT_EQ(ReplaceFile(Dir / "link.update", Dir / "target", false),
            HResultFromError(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(test::ReadFile(Dir / "target"), "old");
  EXPECT_TRUE(test::IsReparsePoint(Dir / "link.update"));
  EXPECT_EQ(test::ReadFile(Dir / "elsewhere"), "elsewhere");
}

TEST_F(WinFileSystemTest, ResolvesWithinComparesNamesAsWindowsDoes) {
  const fs::path base = Dir / "Base";
  fs::create_directories(base / "Inner");
  struct Case {
    fs::path File;
    bool Within;
  };
  const Case cases[] = {
      {base / "a.dll", true},
      {base / "Inner" / "a.dll", true},
      {base / "new" / "folders" / "a.dll", true},
      {base / "new" / ".." / ".." / "a.dll", false},
      {base / "Inner" / ".." / "a.dll", true},
      {Dir / "BASE" / "inner" / "A.DLL", true},
      {Dir / "base" / "NEW" / "a.dll", true},
      {Dir / "Base2" / "a.dll", false},
      {Dir / "Bas" / "a.dll", false},
      {Dir / "a.dll", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File.string());
    EXPECT_EQ(ResolvesWithin(base, c.File), c.Within);
  }
  EXPECT_TRUE(ResolvesWithin(Dir / "BASE", base / "a.dll")) << "the base in other case";
  // Names that do not exist yet are compared as written, without regard to
  // case.
  EXPECT_TRUE(ResolvesWithin(base / "Missing", Dir / "base" / "MISSING" / "a.dll"));
  EXPECT_FALSE(ResolvesWithin(base / "Missing", base / "Missing2" / "a.dll"));
}

// A short (8.3) name and the long name it stands for are one folder: the
// existing part of each path is resolved by the system, not compared as
// written.
TEST_F(WinFileSystemTest, ResolvesWithinKnowsShortNames) {
  const fs::path base = Dir / "A Long Folder Name";
  fs::create_directories(base / "Another Long Name");
  wchar_t shortName[MAX_PATH] = {};
  const DWORD length = ::GetShortPathNameW(base.c_str(), shortName, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  const fs::path alias(shortName);
  if (alias.filename() == base.filename()) {
    GTEST_SKIP() << "this volume makes no short names";
  }
  EXPECT_TRUE(ResolvesWithin(base, alias / "a.dll"));
  EXPECT_TRUE(ResolvesWithin(alias, base / "Another Long Name" / "new" / "a.dll"));
  EXPECT_FALSE(ResolvesWithin(alias / "Another Long Name", base / "a.dll"));
}

TEST_F(WinFileSystemTest, ResolvesWithinFollowsJunctionsAndLinks) {
  const fs::path base = Dir / "base";
  fs::create_directories(base / "inner");
  fs::create_directories(Dir / "outside");
  if (!test::MakeJunction(base / "out", Dir / "outside") ||
      !test::MakeJunction(base / "in", base / "inner") ||
      !test::MakeJunction(Dir / "alias", base)) {
    GTEST_SKIP() << test::kNoLinks;
  }
  const bool linked = test::MakeSymbolicLink(base / "up", Dir.Path(), true);
  struct Case {
    fs::path File;
    bool Within;
  };
  const Case cases[] = {
      {base / "in" / "a.dll", true},   {base / "in" / "new" / "a.dll", true},
      {base / "out" / "a.dll", false}, {base / "out" / "new" / "a.dll", false},
      {Dir / "alias" / "a.dll", true}, {Dir / "alias" / "out" / "a.dll", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File.string());
    EXPECT_EQ(ResolvesWithin(base, c.File), c.Within);
  }
  EXPECT_TRUE(ResolvesWithin(Dir / "alias", base / "a.dll")) << "the base is resolved too";
  if (linked) {
    EXPECT_FALSE(ResolvesWithin(base, base / "up" / "a.dll"));
    EXPECT_TRUE(ResolvesWithin(base, base / "up" / "base" / "a.dll"));
  }
}

TEST_F(WinFileSystemTest, IsLinkLooksAtTheLastNameOnly) {
  fs::create_directories(Dir / "folder");
  test::WriteFile(Dir / "folder" / "file", "x");
  if (!test::MakeJunction(Dir / "junction", Dir / "folder")) {
    GTEST_SKIP() << test::kNoLinks;
  }
  struct Case {
    fs::path Path;
    bool Link;
  };
  const Case cases[] = {
      {Dir / "junction", true},         {Dir / "junction" / "file", false},
      {Dir / "folder" / "file", false}, {Dir / "folder", false},
      {Dir / "missing", false},         {Dir / "missing" / "file", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Path.string());
    EXPECT_EQ(IsLink(c.Path), c.Link);
  }
  if (test::MakeSymbolicLink(Dir / "file-link", Dir / "folder" / "file", false)) {
    EXPECT_TRUE(IsLink(Dir / "file-link"));
  }
}

TEST_F(WinFileSystemTest, MayHoldLinksUnlessAListingShowsNone) {
  fs::create_directories(Dir / "plain" / "sub");
  test::WriteFile(Dir / "plain" / "file", "x");
  fs::create_directories(Dir / "empty");
  EXPECT_FALSE(MayHoldLinks(Dir / "plain"));
  EXPECT_FALSE(MayHoldLinks(Dir / "empty"));
  EXPECT_TRUE(MayHoldLinks(Dir / "missing"));
  EXPECT_TRUE(MayHoldLinks(Dir / "plain" / "file"));
  fs::create_directories(Dir / "linked");
  if (!test::MakeJunction(Dir / "linked" / "junction", Dir / "plain")) {
    GTEST_SKIP() << test::kNoLinks;
  }
  EXPECT_TRUE(MayHoldLinks(Dir / "linked"));
  EXPECT_FALSE(MayHoldLinks(Dir / "linked" / "junction")) << "the folder it leads to";
}

// GetTempPathW takes the folder from TMP, then TEMP.
TEST_F(WinFileSystemTest, CreateTempFileInTheTemporaryFolder) {
  const auto saved = [](const wchar_t* name) {
    std::wstring value(32768, L'\0');
    const DWORD length =
        ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length);
    return length == 0 ? std::optional<std::wstring>() : std::optional<std::wstring>(value);
  };
  const std::optional<std::wstring> tmp = saved(L"TMP");
  const std::optional<std::wstring> temp = saved(L"TEMP");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", Dir.Path().c_str()));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TEMP", Dir.Path().c_str()));
  const std::optional<fs::path> first = CreateTempFile("Xml");
  const std::optional<fs::path> second = CreateTempFile("Xml");
  ::SetEnvironmentVariableW(L"TMP", tmp ? tmp->c_str() : nullptr);
  ::SetEnvironmentVariableW(L"TEMP", temp ? temp->c_str() : nullptr);

  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  for (const fs::path& file : {*first, *second}) {
    SCOPED_TRACE(file.string());
    EXPECT_TRUE(fs::equivalent(file.parent_path(), Dir.Path()));
    EXPECT_TRUE(file.filename().wstring().starts_with(L"Xml"));
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::file_size(file), 0u);
  }
  EXPECT_TRUE(RemoveFile(*first));
  EXPECT_FALSE(fs::exists(*first));
  EXPECT_TRUE(RemoveFile(*first)) << "a file already gone";
  EXPECT_TRUE(RemoveFile(Dir / "missing" / "file")) << "a file in a missing folder";

  SetReadOnly(*second, true);
  EXPECT_FALSE(RemoveFile(*second)) << "a read-only file stays";
  EXPECT_TRUE(fs::exists(*second));
  fs::create_directory(Dir / "folder");
  EXPECT_FALSE(RemoveFile(Dir / "folder"));
  EXPECT_TRUE(fs::is_directory(Dir / "folder"));
}

TEST_F(WinFileSystemTest, MakeDirectory) {
  EXPECT_EQ(MakeDirectory(Dir / "new"), kOk);
  EXPECT_TRUE(fs::is_directory(Dir / "new"));
  EXPECT_EQ(MakeDirectory(Dir / "new"), kOk);
  EXPECT_EQ(MakeDirectory(Dir / "missing" / "child"), HResultFromError(ERROR_PATH_NOT_FOUND));
  test::WriteFile(Dir / "file", "x");
  EXPECT_EQ(MakeDirectory(Dir / "file"), HResultFromError(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(fs::is_regular_file(Dir / "file"));
}

TEST_F(WinFileSystemTest, ProgramDirectoryHoldsTheRunningProgram) {
  EXPECT_TRUE(fs::is_regular_file(ProgramDirectory() / "WinFileSystem_test.exe"))
      << ProgramDirectory().string();
}

}  // namespace
}  // namespace varo::platform

namespace varo::platform {
namespace {

TEST(WinSystemFoldersTest, TheWindowsAndSystemFoldersAreTheSystemsOwn) {
  const auto windows = WindowsDirectory();
  const auto system = SystemDirectory();
  ASSERT_TRUE(windows.has_value());
  ASSERT_TRUE(system.has_value());
  EXPECT_TRUE(std::filesystem::is_directory(*windows));
  EXPECT_TRUE(std::filesystem::is_regular_file(*system / "kernel32.dll"));
  EXPECT_TRUE(ResolvesWithin(*windows, *system / "kernel32.dll"));
}

}  // namespace
}  // namespace varo::platform
