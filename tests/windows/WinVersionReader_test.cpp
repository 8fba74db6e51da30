#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/PeImage.h"
#include "platform/VersionReader.h"
#include "support/TempDir.h"
#include "windows/WineHost.h"

namespace varo::platform {
namespace {

constexpr HResult kNoVersionType = HResultFromError(ERROR_RESOURCE_TYPE_NOT_FOUND);
constexpr HResult kMalformed = HResultFromError(ERROR_INVALID_DATA);

std::filesystem::path Fixtures() {
  return test::HostPath(VARO_FIXTURE_DIR) / "pe";
}

// What Version.rc declares for the resource with the number 1.
FixedFileInfo DeclaredInfo() {
  FixedFileInfo info;
  info.Signature = 0xFEEF04BD;
  info.StrucVersion = 0x00010000;
  info.FileVersionMS = (3u << 16) | 0u;
  info.FileVersionLS = (12u << 16) | 405u;
  info.ProductVersionMS = (7u << 16) | 1u;
  info.ProductVersionLS = (0u << 16) | 2u;
  info.FileFlagsMask = 0x3F;
  info.FileFlags = 0x2;
  info.FileOS = 0x40004;
  info.FileType = 0x2;
  return info;
}

// A value that no successful read returns, to see that failures leave the
// output alone.
FixedFileInfo Untouched() {
  FixedFileInfo info;
  info.FileDateLS = 0xDEADBEEF;
  return info;
}

// The bytes of a file in memory, for the portable reader.
class Bytes final : public PeImageSource {
 public:
  explicit Bytes(std::string content) : Content(std::move(content)) {}
  std::uint64_t Size() const override { return Content.size(); }
  bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) override {
    std::memcpy(out, Content.data() + offset, size);
    return true;
  }

 private:
  std::string Content;
};

struct Reading {
  HResult Result = kOk;
  FixedFileInfo Info = Untouched();
};

Reading BySystem(const std::filesystem::path& file) {
  Reading reading;
  reading.Result = ReadFixedFileInfo(file, reading.Info);
  return reading;
}

Reading ByPortableReader(const std::filesystem::path& file) {
  Bytes bytes(test::ReadFile(file));
  Reading reading;
  reading.Result = ReadFixedFileInfoFromImage(bytes, reading.Info);
  return reading;
}

// The system and the portable reader agree on every fixture library, in
// what they read and in how they fail.
TEST(WinVersionReaderTest, SystemAndPortableReaderAgreeOnTheFixtures) {
  const struct {
    const char* Name;
    HResult Expected;
  } cases[] = {
      {"Version64.dll", kOk},
      {"Version32.dll", kOk},
      {"NoVersion64.dll", kNoVersionType},
      {"NoResources64.dll", kNoVersionType},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const Reading system = BySystem(Fixtures() / c.Name);
    const Reading portable = ByPortableReader(Fixtures() / c.Name);
    EXPECT_EQ(system.Result, c.Expected);
    EXPECT_EQ(portable.Result, c.Expected);
    EXPECT_EQ(system.Info, portable.Info);
    EXPECT_EQ(system.Info, c.Expected == kOk ? DeclaredInfo() : Untouched());
  }
}

TEST(WinVersionReaderTest, ReadsThroughAPathOutsideTheAnsiCodePage) {
  const test::TempDir dir;
  const auto copy = dir / std::filesystem::path(u8"版本 ü.dll");
  std::filesystem::copy_file(Fixtures() / "Version64.dll", copy);
  const Reading system = BySystem(copy);
  EXPECT_EQ(system.Result, kOk);
  EXPECT_EQ(system.Info, DeclaredInfo());
}

// The version resource is there but its fixed block does not carry the
// signature: both readers refuse it the same way.
TEST(WinVersionReaderTest, FixedBlockWithoutItsSignatureIsMalformed) {
  const test::TempDir dir;
  std::string bytes = test::ReadFile(Fixtures() / "Version64.dll");
  const std::string signature("\xBD\x04\xEF\xFE\x00\x00\x01\x00\x00\x00\x03\x00", 12);
  const std::size_t at = bytes.find(signature);
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(bytes.find(signature, at + 1), std::string::npos) << "one block with version 3";
  bytes[at] = '\xBC';
  test::WriteFile(dir / "damaged.dll", bytes);

  const Reading system = BySystem(dir / "damaged.dll");
  const Reading portable = ByPortableReader(dir / "damaged.dll");
  EXPECT_EQ(system.Result, kMalformed);
  EXPECT_EQ(portable.Result, kMalformed);
  EXPECT_EQ(system.Info, Untouched());
}

TEST(WinVersionReaderTest, WhatIsNoLibraryFailsAndLeavesTheOutputAlone) {
  const test::TempDir dir;
  test::WriteFile(dir / "empty.dll", "");
  test::WriteFile(dir / "text.dll", "This is no Windows library, however it is named.\n");
  test::WriteFile(dir / "mz.dll", "MZ");
  std::filesystem::create_directory(dir / "folder.dll");
  for (const char* name : {"empty.dll", "text.dll", "mz.dll", "folder.dll", "missing.dll"}) {
    SCOPED_TRACE(name);
    const Reading system = BySystem(dir / name);
    EXPECT_FALSE(Succeeded(system.Result));
    EXPECT_EQ(system.Info, Untouched());
  }
  EXPECT_EQ(BySystem(dir / "missing.dll").Result, HResultFromError(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace varo::platform
