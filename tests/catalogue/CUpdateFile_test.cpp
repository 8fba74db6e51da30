#include "catalogue/CUpdateFile.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/Utf8Path.h"
#include "support/SourcePath.h"
#include "support/TempDir.h"

namespace varo {
namespace {

const std::filesystem::path kFixtures = test::FixturePath("pe");

// 1970-01-01 as a FILETIME (100-ns intervals since 1601-01-01).
constexpr std::uint64_t kUnixEpoch = 116444736000000000u;

// 2021-03-04 05:06:07.1234567 UTC, as a FILETIME and as a system time.
std::chrono::sys_time<std::chrono::nanoseconds> SomeTime() {
  using namespace std::chrono;
  return sys_days{year{2021} / 3 / 4} + 5h + 6min + 7s + 123456700ns;
}
constexpr std::uint64_t kSomeTime = kUnixEpoch + 1614834367'1234567u;

// Sets the file's last write time to the 100 ns. On Windows the system call
// sets it: mingw-w64's std::filesystem keeps whole seconds only.
void SetWriteTime(const std::filesystem::path& file,
                  std::chrono::sys_time<std::chrono::nanoseconds> time) {
#ifdef _WIN32
  const auto ticks = static_cast<std::uint64_t>(static_cast<std::int64_t>(kUnixEpoch) +
                                                time.time_since_epoch().count() / 100);
  const HANDLE handle = ::CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const BOOL set = ::SetFileTime(handle, nullptr, nullptr, &written);
  ::CloseHandle(handle);
  ASSERT_TRUE(set);
#else
  std::filesystem::last_write_time(file, std::chrono::file_clock::from_sys(time));
#endif
}

platform::FileTime Ticks(std::uint64_t value) {
  return platform::FileTime::FromValue(value);
}

// A copy of the test library whose version resource gives the file version
// a.b.c.d.
void WriteLibrary(const std::filesystem::path& file, std::array<std::uint16_t, 4> version) {
  std::string bytes = test::ReadFile(kFixtures / "Version64.dll");
  // Signature, structure version 1.0, then the file version 3.0.12.405.
  const std::string block("\xBD\x04\xEF\xFE\x00\x00\x01\x00\x00\x00\x03\x00\x95\x01\x0C\x00", 16);
  const std::size_t at = bytes.find(block);
  ASSERT_NE(at, std::string::npos);
  const std::array<std::uint16_t, 4> words{version[1], version[0], version[3], version[2]};
  for (std::size_t i = 0; i < words.size(); ++i) {
    bytes[at + 8 + 2 * i] = static_cast<char>(words[i] & 0xFF);
    bytes[at + 9 + 2 * i] = static_cast<char>(words[i] >> 8);
  }
  test::WriteFile(file, bytes);
}

TEST(CompareVersionsTest, OrdersDottedNumbersPartByPart) {
  const struct {
    const char* Lower;
    const char* Higher;  // equal to Lower when Same
    bool Same;
  } cases[]{
      {"1.0.0.9", "1.0.0.10", false},
      {"3.0.12.41", "3.0.12.405", false},
      {"3.0.12.405", "3.0.12.1000", false},
      {"1.9", "1.10.0.0", false},
      {"3.0.12.405", "3.0.12.405", true},
      {"1.2", "1.2.0.0", true},
      {"1.2", "1.2.0.1", false},
      {"1..2", "1.0.2", true},
      {"1.2.", "1.2", true},
      {"01.002.0003", "1.2.3", true},
      {" 1 . 2\t", "1.2", true},
      {"99999999999999999999998.9", "99999999999999999999999.1", false},
      {"1.0.0.18446744073709551615", "1.0.0.18446744073709551616", false},
      {"000000000000000000000000000000000000000000001", "1", true},
      {"1.0.0.BETA", "1.0.0.beta", true},
      {"1.0.0.alpha", "1.0.0.Beta", false},
      {"1.0", "1.0.a", false},
      {"1.0.0.1", "1.0.0.1a", false},
      {"", "0", false},
      {"", "1.0", false},
      {"  ", "0.0.0.0", false},
      {"", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.Lower + "\" against \"" + c.Higher + "\"");
    if (c.Same) {
      EXPECT_EQ(CompareVersions(c.Lower, c.Higher), 0);
      EXPECT_EQ(CompareVersions(c.Higher, c.Lower), 0);
    } else {
      EXPECT_LT(CompareVersions(c.Lower, c.Higher), 0);
      EXPECT_GT(CompareVersions(c.Higher, c.Lower), 0);
    }
  }
}

class UpdateFileTest : public ::testing::Test {
 protected:
  test::TempDir Dir;
};

TEST_F(UpdateFileTest, ReadVersionInfoFormatsTheFourPartsOfBothVersions) {
  CUpdateFile record;
  ASSERT_EQ(ReadVersionInfo(record, kFixtures / "Version64.dll"), platform::kOk);
  EXPECT_EQ(record.FileVersion, "3.0.12.405");
  EXPECT_EQ(record.ProductVersion, "7.1.0.2");
  EXPECT_EQ(record.FixedInfo.Signature, 0xFEEF04BDu);
  EXPECT_EQ(record.FixedInfo.FileVersionLS, (12u << 16) | 405u);

  WriteLibrary(Dir / "big.dll", {65535, 65535, 0, 7});
  ASSERT_EQ(ReadVersionInfo(record, Dir / "big.dll"), platform::kOk);
  EXPECT_EQ(record.FileVersion, "65535.65535.0.7");
  EXPECT_EQ(record.ProductVersion, "7.1.0.2");
}

TEST_F(UpdateFileTest, ReadVersionInfoFailsWithoutVersionResource) {
  for (const char* library : {"NoResources64.dll", "NoVersion64.dll"}) {
    CUpdateFile record;
    EXPECT_FALSE(platform::Succeeded(ReadVersionInfo(record, kFixtures / library)));
    EXPECT_EQ(record.FileVersion, "");
    EXPECT_EQ(record.ProductVersion, "");
    EXPECT_EQ(record.FixedInfo, platform::FixedFileInfo{});
  }
}

TEST_F(UpdateFileTest, ReadLocalStateOfALibrary) {
  const std::filesystem::path file = Dir / PathFromUtf8("dir with blank/版本 1.dll");
  WriteLibrary(file, {3, 0, 12, 405});
  SetWriteTime(file, SomeTime());
  CUpdateFile local(file);
  ASSERT_TRUE(local.ReadLocalState());
  EXPECT_EQ(local.Length, static_cast<std::int64_t>(std::filesystem::file_size(file)));
  EXPECT_EQ(local.FileName, "版本 1.dll");
  EXPECT_EQ(local.FileVersion, "3.0.12.405");
  EXPECT_EQ(local.ProductVersion, "7.1.0.2");
  EXPECT_EQ(local.FileTime, Ticks(kSomeTime));
}

TEST_F(UpdateFileTest, ReadLocalStateOfAFileWithoutVersion) {
  test::WriteFile(Dir / "readme.txt", "twelve bytes");
  SetWriteTime(Dir / "readme.txt", SomeTime());
  CUpdateFile local(Dir / "readme.txt");
  ASSERT_TRUE(local.ReadLocalState());
  EXPECT_EQ(local.Length, 12);
  EXPECT_EQ(local.FileName, "readme.txt");
  EXPECT_EQ(local.FileVersion, "");
  EXPECT_EQ(local.FileTime, Ticks(kSomeTime));
}

TEST_F(UpdateFileTest, ReadLocalStateReadsNothingWithoutAFile) {
  for (const std::filesystem::path& file : {std::filesystem::path{}, Dir / "missing.dll"}) {
    CUpdateFile local(file);
    EXPECT_FALSE(local.ReadLocalState());
    EXPECT_EQ(local.Length, 0);
    EXPECT_EQ(local.FileName, "");
    EXPECT_EQ(local.FileTime, platform::FileTime{});
  }
}

// The listed version decides, whatever the times say.
TEST_F(UpdateFileTest, CheckUpdateComparesVersionsAsNumbers) {
  const struct {
    std::array<std::uint16_t, 4> Local;
    const char* Listed;
    bool Download;
  } cases[]{
      {{1, 0, 0, 9}, "1.0.0.10", true},       {{1, 0, 0, 10}, "1.0.0.9", false},
      {{3, 0, 12, 405}, "3.0.12.405", false}, {{3, 0, 12, 405}, "3.0.12.41", false},
      {{3, 0, 12, 405}, "3.0.12.1000", true}, {{3, 0, 12, 405}, "3.0.12.405.1", true},
      {{3, 0, 12, 405}, "3.0.12", false},     {{3, 0, 12, 405}, "03.0.012.0405", false},
      {{0, 0, 0, 0}, "0.0.0.1", true},
  };
  const std::filesystem::path file = Dir / "game.dll";
  for (const auto& c : cases) {
    WriteLibrary(file, c.Local);
    for (const std::uint64_t listedTime : {std::uint64_t{0}, kSomeTime, ~std::uint64_t{0}}) {
      SCOPED_TRACE(std::string(c.Listed) + " at " + std::to_string(listedTime));
      SetWriteTime(file, SomeTime());
      CUpdateFile listed(file);
      listed.FileVersion = c.Listed;
      listed.FileTime = Ticks(listedTime);
      EXPECT_EQ(listed.CheckUpdate(), c.Download);
      EXPECT_EQ(listed.NeedUpdate, c.Download);
    }
  }
}

// Without a listed version, a local file written earlier than the listed
// time is downloaded; its own version plays no part.
TEST_F(UpdateFileTest, CheckUpdateWithoutListedVersionComparesTimes) {
  test::WriteFile(Dir / "readme.txt", "text");
  WriteLibrary(Dir / "game.dll", {9, 9, 9, 9});
  const struct {
    std::uint64_t Listed;
    bool Download;
  } cases[]{
      {kSomeTime + 1, true},
      {~std::uint64_t{0}, true},
      {kSomeTime, false},
      {kSomeTime - 1, false},
      {0, false},
  };
  for (const char* name : {"readme.txt", "game.dll"}) {
    SetWriteTime(Dir / name, SomeTime());
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(name) + " listed at " + std::to_string(c.Listed));
      CUpdateFile listed(Dir / name);
      listed.FileTime = Ticks(c.Listed);
      EXPECT_EQ(listed.CheckUpdate(), c.Download);
    }
  }
}

TEST_F(UpdateFileTest, CheckUpdateDownloadsWhatItCannotFindOrVersion) {
  test::WriteFile(Dir / "readme.txt", "text");
  std::filesystem::copy_file(kFixtures / "NoResources64.dll", Dir / "plain.dll");
  std::filesystem::create_directory(Dir / "folder.dll");
  for (const std::filesystem::path& file :
       {Dir / "missing.dll", std::filesystem::path{}, Dir / "folder.dll", Dir / "readme.txt",
        Dir / "plain.dll"}) {
    SCOPED_TRACE(file);
    if (std::filesystem::is_regular_file(file)) {
      SetWriteTime(file, SomeTime());
    }
    CUpdateFile listed(file);
    listed.FileVersion = "0.0.0.0";
    listed.FileTime = Ticks(0);
    EXPECT_TRUE(listed.CheckUpdate());
    EXPECT_TRUE(listed.NeedUpdate);
  }
}

// Each way to be kept names its reason; a current file keeps none.
TEST_F(UpdateFileTest, CheckUpdateGivesTheReasonItDownloads) {
  WriteLibrary(Dir / "game.dll", {3, 0, 12, 405});
  std::filesystem::copy_file(kFixtures / "NoResources64.dll", Dir / "plain.dll");
  test::WriteFile(Dir / "readme.txt", "text");
  for (const char* name : {"game.dll", "plain.dll", "readme.txt"}) {
    SetWriteTime(Dir / name, SomeTime());
  }
  const struct {
    const char* File;
    const char* Version;
    std::uint64_t Time;
    const char* Reason;  // empty: not downloaded
  } cases[]{
      {"missing.dll", "1.0", 0, "missing"},
      {"game.dll", " 3.0.12.1000 ", 0, "older version 3.0.12.405 < 3.0.12.1000"},
      {"plain.dll", "0.0.0.0", 0, "older version none < 0.0.0.0"},
      {"readme.txt", "", kSomeTime + 1, "older time"},
      {"game.dll", "3.0.12.405", ~std::uint64_t{0}, ""},
      {"readme.txt", "", kSomeTime, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.File) + " " + c.Version);
    CUpdateFile listed(Dir / c.File);
    listed.FileVersion = c.Version;
    listed.FileTime = Ticks(c.Time);
    EXPECT_EQ(listed.CheckUpdate(), *c.Reason != '\0');
    EXPECT_EQ(listed.Reason, c.Reason);
  }
}

// Verifying reads a current file only when the list gives its hash, and
// keeps it when the content differs; a file already kept for its version or
// time keeps that reason.
TEST_F(UpdateFileTest, CheckUpdateWithVerifyKeepsCurrentFilesWhoseHashDiffers) {
  const std::string content = "the listed content";
  const platform::Sha256Digest listedHash =
      platform::Sha256Of({reinterpret_cast<const std::uint8_t*>(content.data()), content.size()});
  test::WriteFile(Dir / "same.txt", content);
  test::WriteFile(Dir / "changed.txt", "the listed contenT");
  test::WriteFile(Dir / "old.txt", "anything");
  for (const char* name : {"same.txt", "changed.txt", "old.txt"}) {
    SetWriteTime(Dir / name, SomeTime());
  }
  const struct {
    const char* File;
    std::uint64_t Time;
    bool Hashed;
    bool Verify;
    const char* Reason;  // empty: not downloaded
  } cases[]{
      {"same.txt", kSomeTime, true, true, ""},
      {"changed.txt", kSomeTime, true, true, "hash differs"},
      {"changed.txt", kSomeTime, true, false, ""},
      {"changed.txt", kSomeTime, false, true, ""},
      {"old.txt", kSomeTime + 1, true, true, "older time"},
      {"missing.txt", 0, true, true, "missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.File) + (c.Hashed ? " hashed" : "") + (c.Verify ? " verify" : ""));
    CUpdateFile listed(Dir / c.File);
    listed.FileTime = Ticks(c.Time);
    if (c.Hashed) {
      listed.Sha256 = listedHash;
    }
    EXPECT_EQ(listed.CheckUpdate(c.Verify), *c.Reason != '\0');
    EXPECT_EQ(listed.Reason, c.Reason);
  }
}

TEST_F(UpdateFileTest, CheckUpdateNeverClearsNeedUpdate) {
  WriteLibrary(Dir / "game.dll", {3, 0, 12, 405});
  CUpdateFile listed(Dir / "game.dll");
  listed.FileVersion = "3.0.12.405";
  listed.NeedUpdate = true;
  EXPECT_TRUE(listed.CheckUpdate());
  EXPECT_TRUE(listed.NeedUpdate);
}

}  // namespace
}  // namespace varo
