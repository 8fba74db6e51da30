#include "platform/windows/WinLongPath.h"

#include <gtest/gtest.h>
#include <windows.h>
// <windows.h> maps the name to ReplaceFileW; ours is platform::ReplaceFile.
#undef ReplaceFile

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "WineHost.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/InstallationLock.h"
#include "platform/OutputFile.h"
#include "platform/RegularFile.h"
#include "platform/VersionReader.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;

// The current folder, as the system gives it, without a closing backslash.
std::wstring CurrentFolder() {
  std::wstring folder(32768, L'\0');
  folder.resize(::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
  if (folder.size() > 3 && folder.back() == L'\\') {
    folder.pop_back();
  }
  return folder;
}

TEST(WinLongPathTest, PathsAreMadeFullAndPrefixed) {
  const struct {
    std::wstring Given;
    std::wstring Expected;
  } cases[] = {
      {L"C:\\a\\b", L"\\\\?\\C:\\a\\b"},
      // The system takes a prefixed path as written: the path is made full
      // as the system makes any other path full before the prefix goes on.
      {L"C:/a/b/./c/../d", L"\\\\?\\C:\\a\\b\\d"},
      {L"C:\\a\\..\\..\\b", L"\\\\?\\C:\\b"},
      {L"C:\\a\\name. . ", L"\\\\?\\C:\\a\\name"},
      {L"\\\\server\\share\\x\\..\\y", L"\\\\?\\UNC\\server\\share\\y"},
      {L"//server/share/y", L"\\\\?\\UNC\\server\\share\\y"},
      {L"relative\\file", L"\\\\?\\" + CurrentFolder() + L"\\relative\\file"},
      // Already in the system's own forms.
      {L"\\\\?\\C:\\a\\.\\b", L"\\\\?\\C:\\a\\.\\b"},
      {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
      {L"NUL", L"\\\\.\\NUL"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(fs::path(c.Given).string());
    EXPECT_EQ(LongPath(c.Given), c.Expected);
  }
}

TEST(WinLongPathTest, ThePrefixComesOffForTheRestOfTheProgram) {
  const struct {
    std::wstring Given;
    std::wstring Expected;
  } cases[] = {
      {L"\\\\?\\C:\\a\\b", L"C:\\a\\b"},
      {L"\\\\?\\UNC\\server\\share\\y", L"\\\\server\\share\\y"},
      {L"C:\\a", L"C:\\a"},
      {L"\\\\.\\NUL", L"\\\\.\\NUL"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(fs::path(c.Given).string());
    EXPECT_EQ(WithoutLongPrefix(c.Given).native(), c.Expected);
    EXPECT_EQ(WithoutLongPrefix(LongPath(c.Expected)).native(), c.Expected) << "the way back";
  }
}

// A folder whose path is well beyond MAX_PATH (260) characters, and a file
// in it with a 250-character name, as a real installation may have.
class WinLongPathFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Deep = Dir.Path();
    for (int level = 0; level < 3; ++level) {
      Deep /= std::wstring(100, static_cast<wchar_t>(L'a' + level));
      ASSERT_EQ(MakeDirectory(Deep), kOk) << level;
    }
    File = Deep / (std::wstring(246, L'n') + L".dat");
    ASSERT_GT(File.native().size(), 500u);
  }

  // The names below the temporary folder are removed through prefixed
  // paths, which reach them whatever their length.
  void TearDown() override { RemoveTree(Dir.Path() / std::wstring(100, L'a')); }

  static void RemoveTree(const fs::path& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((LongPath(folder) + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
          continue;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          RemoveTree(folder / name);
        } else {
          ::SetFileAttributesW(LongPath(folder / name).c_str(), FILE_ATTRIBUTE_NORMAL);
          ::DeleteFileW(LongPath(folder / name).c_str());
        }
      } while (::FindNextFileW(search, &found));
      ::FindClose(search);
    }
    ::RemoveDirectoryW(LongPath(folder).c_str());
  }

  static HResult WriteWhole(const fs::path& file, const std::string& content) {
    OutputFile out;
    const HResult created = out.Create(file);
    if (created != kOk) {
      return created;
    }
    return out.Write(content.data(), content.size()) && out.Close(true) ? kOk : E_FAIL;
  }

  test::TempDir Dir;
  fs::path Deep;
  fs::path File;
};

TEST_F(WinLongPathFilesTest, FilesAreCreatedReadReplacedAndRemoved) {
  ASSERT_EQ(WriteWhole(File, "old"), kOk);
  EXPECT_TRUE(CanOpenForReading(File));
  EXPECT_EQ(GetFileSize(File), 3u);
  FileTime written;
  EXPECT_EQ(GetFileWriteTime(File, written), kOk);
  EXPECT_NE(written.Value(), 0u);
  EXPECT_EQ(ReadRegularFile(File, 100), "old");
  EXPECT_FALSE(IsReadOnly(File));
  const std::optional<FileDigest> digest = HashFile(File);
  ASSERT_TRUE(digest);
  EXPECT_EQ(digest->Size, 3u);
  EXPECT_EQ(ToHex(digest->Digest), ToHex(Sha256Of(std::vector<std::uint8_t>{'o', 'l', 'd'})));
  EXPECT_FALSE(IsLink(File));
  EXPECT_FALSE(MayHoldLinks(Deep)) << "a long folder is listed like any other";

  // The side file of a download, then put in place.
  const fs::path side = Deep / L"side.update";
  ASSERT_EQ(WriteWhole(side, "new content"), kOk);
  EXPECT_EQ(ReplaceFile(side, File, false), kOk);
  EXPECT_EQ(ReadRegularFile(File, 100), "new content");
  EXPECT_FALSE(CanOpenForReading(side));

  EXPECT_TRUE(ResolvesWithin(Dir.Path(), File));
  EXPECT_TRUE(ResolvesWithin(Deep, Deep / L"missing" / L"x"));
  EXPECT_FALSE(ResolvesWithin(Deep / L"missing", File));
  // The parent step is taken before the prefix goes on.
  EXPECT_TRUE(ResolvesWithin(Dir.Path(), Deep / L".." / File.filename()));
  EXPECT_FALSE(ResolvesWithin(Deep, Deep / L".." / File.filename()));

  EXPECT_TRUE(RemoveFile(File));
  EXPECT_FALSE(CanOpenForReading(File));
  EXPECT_TRUE(RemoveFile(File)) << "a file already gone";
}

TEST_F(WinLongPathFilesTest, ForwardSlashesAndDotsReachTheSameFile) {
  ASSERT_EQ(WriteWhole(File, "12345"), kOk);
  std::wstring written = File.native();
  for (wchar_t& c : written) {
    c = c == L'\\' ? L'/' : c;
  }
  const fs::path odd = fs::path(written).parent_path() / L"." / L"x" / L".." / File.filename();
  EXPECT_EQ(GetFileSize(fs::path(written)), 5u);
  EXPECT_EQ(GetFileSize(odd), 5u);
  EXPECT_EQ(ReadRegularFile(odd, 100), "12345");
  EXPECT_TRUE(RemoveFile(odd));
  EXPECT_FALSE(CanOpenForReading(File));
}

TEST_F(WinLongPathFilesTest, VersionsAreReadFromLongPaths) {
  const fs::path library = Deep / (std::wstring(200, L'v') + L".dll");
  std::ifstream input(test::HostPath(VARO_FIXTURE_DIR) / "pe" / "Version64.dll", std::ios::binary);
  const std::string image{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(image.empty());
  ASSERT_EQ(WriteWhole(library, image), kOk);
  FixedFileInfo info;
  ASSERT_EQ(ReadFixedFileInfo(library, info), kOk);
  EXPECT_EQ(info.Signature, 0xFEEF04BDu);
  EXPECT_EQ(info.FileVersionMS, (3u << 16) | 0u);
  EXPECT_EQ(info.FileVersionLS, (12u << 16) | 405u);
}

TEST_F(WinLongPathFilesTest, TheInstallationLockTakesALongFolder) {
  ASSERT_EQ(MakeDirectory(Deep / L"ADImage"), kOk);
  const InstallationLock held(Deep);
  EXPECT_EQ(held.GetState(), InstallationLock::State::Held) << held.Problem();
  EXPECT_TRUE(CanOpenForReading(InstallationLock::FileFor(Deep)) == false)
      << "the open lock file is shared with nobody";
  const InstallationLock second(Deep);
  EXPECT_EQ(second.GetState(), InstallationLock::State::Busy) << second.Problem();
}

// The system gives no temporary folder longer than MAX_PATH; one close to
// it leaves too little room for GetTempFileNameW (MAX_PATH - 14 at most).
TEST_F(WinLongPathFilesTest, TemporaryFilesComeInALongTemporaryFolder) {
  fs::path folder = Dir.Path() / std::wstring(100, L'a');
  folder /= std::wstring(MAX_PATH - 8 - folder.native().size(), L't');
  ASSERT_EQ(MakeDirectory(folder), kOk);
  const auto saved = [](const wchar_t* name) {
    std::wstring value(32768, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return value;
  };
  const std::wstring tmp = saved(L"TMP");
  const std::wstring temp = saved(L"TEMP");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", folder.c_str()));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"TEMP", folder.c_str()));
  const std::optional<fs::path> first = CreateTempFile("Xml");
  const std::optional<fs::path> second = CreateTempFile("Xml");
  ::SetEnvironmentVariableW(L"TMP", tmp.empty() ? nullptr : tmp.c_str());
  ::SetEnvironmentVariableW(L"TEMP", temp.empty() ? nullptr : temp.c_str());

  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  for (const fs::path& file : {*first, *second}) {
    SCOPED_TRACE(file.string());
    EXPECT_TRUE(file.filename().wstring().starts_with(L"Xml"));
    EXPECT_EQ(GetFileSize(file), 0u);
    EXPECT_TRUE(ResolvesWithin(folder, file));
    EXPECT_TRUE(RemoveFile(file));
  }
}

}  // namespace
}  // namespace varo::platform
