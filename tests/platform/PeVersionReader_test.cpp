#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/VersionReader.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

// The reader's failure codes (Windows error numbers).
constexpr HResult kNotPeImage = HResultFromError(193);      // ERROR_BAD_EXE_FORMAT
constexpr HResult kNoVersionType = HResultFromError(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
constexpr HResult kNoVersionName = HResultFromError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
constexpr HResult kNoVersionLang = HResultFromError(1815);  // ERROR_RESOURCE_LANG_NOT_FOUND
constexpr HResult kMalformed = HResultFromError(13);        // ERROR_INVALID_DATA

const std::filesystem::path kFixtures = std::filesystem::path(VARO_FIXTURE_DIR) / "pe";

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

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
  }
  return value;
}

std::uint16_t Get16(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(at)) |
                                    (static_cast<unsigned char>(bytes.at(at + 1)) << 8));
}

FixedFileInfo InfoAt(const std::string& bytes, std::size_t at) {
  std::uint32_t w[13];
  for (std::size_t i = 0; i < 13; ++i) {
    w[i] = Get32(bytes, at + 4 * i);
  }
  return {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11], w[12]};
}

// Where the structures of a fixture library lie in its file, found by a
// reading of its own so that tests can damage them one by one.
struct Layout {
  std::size_t Pe = 0;              // "PE\0\0"
  std::size_t Optional = 0;        // the optional header
  std::size_t DirectoryCount = 0;  // NumberOfRvaAndSizes
  std::size_t ResourceEntry = 0;   // data directory entry 2
  std::size_t Rsrc = 0;            // section header of ".rsrc"
  std::size_t Root = 0;            // the resource directory
  std::size_t TypeEntry = 0;       // the entry of type 16 in the root
  std::size_t NameDir = 0;         // the directory of version resources
  std::size_t NameEntry = 0;       // the entry of name 1 in it
  std::size_t LangDir = 0;         // the languages of name 1
  std::size_t DataEntry = 0;       // the data entry of the first language
  std::size_t Block = 0;           // VS_VERSIONINFO of name 1
  std::size_t OtherFixed = 0;      // the fixed block of the other version resource
};

Layout Locate(const std::string& b) {
  Layout l;
  l.Pe = Get32(b, 0x3C);
  l.Optional = l.Pe + 24;
  const bool plus = Get16(b, l.Optional) == 0x20B;
  l.DirectoryCount = l.Optional + (plus ? 108 : 92);
  l.ResourceEntry = l.DirectoryCount + 4 + 2 * 8;
  const std::size_t sections = l.Optional + Get16(b, l.Pe + 20);
  for (std::size_t i = 0; i < Get16(b, l.Pe + 6); ++i) {
    if (b.compare(sections + 40 * i, 6, ".rsrc\0", 6) == 0) {
      l.Rsrc = sections + 40 * i;
    }
  }
  const std::uint32_t rsrcVa = Get32(b, l.Rsrc + 12);
  const std::uint32_t rsrcRaw = Get32(b, l.Rsrc + 20);
  l.Root = rsrcRaw + (Get32(b, l.ResourceEntry) - rsrcVa);
  auto find = [&](std::size_t dir, std::uint32_t name) {
    const std::size_t count = Get16(b, dir + 12) + Get16(b, dir + 14);
    for (std::size_t i = 0; i < count; ++i) {
      if (Get32(b, dir + 16 + 8 * i) == name) {
        return dir + 16 + 8 * i;
      }
    }
    throw std::runtime_error("fixture lacks a resource entry");
  };
  l.TypeEntry = find(l.Root, 16);
  l.NameDir = l.Root + (Get32(b, l.TypeEntry + 4) & 0x7FFFFFFF);
  l.NameEntry = find(l.NameDir, 1);
  l.LangDir = l.Root + (Get32(b, l.NameEntry + 4) & 0x7FFFFFFF);
  l.DataEntry = l.Root + Get32(b, l.LangDir + 16 + 4);
  l.Block = rsrcRaw + (Get32(b, l.DataEntry) - rsrcVa);
  const std::size_t other = l.Root + (Get32(b, l.NameDir + 16 + 4) & 0x7FFFFFFF);
  l.OtherFixed = rsrcRaw + (Get32(b, l.Root + Get32(b, other + 16 + 4)) - rsrcVa) + 40;
  return l;
}

// The bytes of a fixture library, to be damaged in place.
struct Image {
  void Put(std::size_t at, std::uint32_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      Bytes.at(at + i) = static_cast<char>(value >> (8 * i));
    }
  }
  void Put16(std::size_t at, std::uint16_t value) { Put(at, value, 2); }
  void Put32(std::size_t at, std::uint32_t value) { Put(at, value, 4); }

  std::string Bytes;
};

class PeVersionReaderTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    Original = test::ReadFile(kFixtures / GetParam());
    Where = Locate(Original);
    ASSERT_EQ(InfoAt(Original, Where.Block + 40), DeclaredInfo())
        << "fixture layout not understood";
    ASSERT_NE(Where.OtherFixed, Where.Block + 40);
    ASSERT_EQ(InfoAt(Original, Where.OtherFixed).FileVersionMS, 0x00090009u);
    Damaged.Bytes = Original;
  }

  HResult ReadCopy(FixedFileInfo& info) {
    test::WriteFile(Copy, Damaged.Bytes);
    return ReadFixedFileInfo(Copy, info);
  }

  test::TempDir Dir;
  std::filesystem::path Copy = Dir / "copy.dll";
  std::string Original;
  Image Damaged;
  Layout Where;
};

INSTANTIATE_TEST_SUITE_P(Pe32AndPe32Plus, PeVersionReaderTest,
                         ::testing::Values("Version64.dll", "Version32.dll"));

TEST_P(PeVersionReaderTest, ReadsTheFixedBlockOfResourceOne) {
  FixedFileInfo info;
  ASSERT_EQ(ReadFixedFileInfo(kFixtures / GetParam(), info), kOk);
  EXPECT_EQ(info, DeclaredInfo());
  EXPECT_EQ(info.FileVersionMS >> 16, 3u);
  EXPECT_EQ(info.FileVersionMS & 0xFFFF, 0u);
  EXPECT_EQ(info.FileVersionLS >> 16, 12u);
  EXPECT_EQ(info.FileVersionLS & 0xFFFF, 405u);
}

TEST_P(PeVersionReaderTest, TakesTheFirstNameWhenThereIsNoNameOne) {
  Damaged.Put32(Where.NameEntry, 7);
  FixedFileInfo info;
  ASSERT_EQ(ReadCopy(info), kOk);
  EXPECT_EQ(info, InfoAt(Original, Where.OtherFixed));
}

// The reader fetches the file in blocks of 16 KiB: a resource section far
// from the headers, with its fixed block lying across a block's end or
// starting right after it, reads the same.
TEST_P(PeVersionReaderTest, AResourceSectionFarFromTheHeadersReadsTheSame) {
  const std::uint32_t raw = Get32(Original, Where.Rsrc + 20);
  const std::uint32_t size = Get32(Original, Where.Rsrc + 16);
  const std::size_t fixedInSection = Where.Block + 40 - raw;
  for (const std::size_t fixedAt : {16384 - 20, 16384, 2 * 16384 - 51, 5 * 16384 + 7}) {
    const std::size_t moved = fixedAt - fixedInSection;
    ASSERT_GE(moved, Original.size());
    Damaged.Bytes = Original;
    Damaged.Bytes.resize(moved + size, '\0');
    Damaged.Bytes.replace(moved, size, Original, raw, size);
    Damaged.Put32(Where.Rsrc + 20, static_cast<std::uint32_t>(moved));
    FixedFileInfo info;
    ASSERT_EQ(ReadCopy(info), kOk) << "fixed block at " << fixedAt;
    EXPECT_EQ(info, DeclaredInfo()) << "fixed block at " << fixedAt;
  }
}

// Every shorter copy fails until the whole version block is present, and
// from then on reads the declared block.
TEST_P(PeVersionReaderTest, TruncatedCopies) {
  test::WriteFile(Copy, Original);
  const std::size_t blockEnd = Where.Block + Get16(Original, Where.Block);
  ASSERT_LE(blockEnd, Original.size());
  for (std::size_t size = Original.size(); size-- > 0;) {
    std::filesystem::resize_file(Copy, size);
    FixedFileInfo info = Untouched();
    const HResult result = ReadFixedFileInfo(Copy, info);
    if (size < blockEnd) {
      ASSERT_FALSE(Succeeded(result)) << "size " << size;
      ASSERT_EQ(info, Untouched()) << "size " << size;
    } else {
      ASSERT_EQ(result, kOk) << "size " << size;
      ASSERT_EQ(info, DeclaredInfo()) << "size " << size;
    }
  }
}

// Any single damaged byte either fails or yields one of the two version
// blocks that the file holds, exactly as they then stand in the file.
TEST_P(PeVersionReaderTest, DamagedBytesNeverGiveGarbage) {
  test::WriteFile(Copy, Original);
  std::fstream file(Copy, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(file);
  const std::vector<std::function<char(char)>> damages{
      [](char c) { return static_cast<char>(c ^ 0xFF); },
      [](char c) { return static_cast<char>(c ^ 0x80); },
      [](char c) { return static_cast<char>(c + 1); },
      [](char) { return '\0'; },
  };
  for (std::size_t at = 0; at < Original.size(); ++at) {
    for (const auto& damage : damages) {
      std::string damaged = Original;
      damaged[at] = damage(Original[at]);
      if (damaged[at] == Original[at]) {
        continue;
      }
      file.seekp(static_cast<std::streamoff>(at));
      file.put(damaged[at]);
      file.flush();
      FixedFileInfo info = Untouched();
      if (Succeeded(ReadFixedFileInfo(Copy, info))) {
        ASSERT_TRUE(info == InfoAt(damaged, Where.Block + 40) ||
                    info == InfoAt(damaged, Where.OtherFixed))
            << "offset " << at;
      } else {
        ASSERT_EQ(info, Untouched()) << "offset " << at;
      }
    }
    file.seekp(static_cast<std::streamoff>(at));
    file.put(Original[at]);
  }
}

struct Damage {
  const char* Name;
  std::function<void(Image&, const Layout&)> Apply;
  HResult Expected;
};

TEST_P(PeVersionReaderTest, HostileStructures) {
  using T = Image;
  const std::vector<Damage> damages{
      {"e_lfanew past the end", [](T& t, const Layout&) { t.Put32(0x3C, 0xFFFFFFF0); },
       kNotPeImage},
      {"e_lfanew at the DOS header", [](T& t, const Layout&) { t.Put32(0x3C, 0); }, kNotPeImage},
      {"PE signature", [](T& t, const Layout& l) { t.Put32(l.Pe, 0x00004550 + 1); }, kNotPeImage},
      {"optional header magic", [](T& t, const Layout& l) { t.Put16(l.Optional, 0x107); },
       kNotPeImage},
      {"optional header too small",
       [](T& t, const Layout& l) {
         t.Put16(l.Pe + 20, static_cast<std::uint16_t>(l.ResourceEntry - l.Optional));
       },
       kNotPeImage},
      {"optional header size past the end",
       [](T& t, const Layout& l) { t.Put16(l.Pe + 20, 0xFFFF); }, kNotPeImage},
      {"65535 sections", [](T& t, const Layout& l) { t.Put16(l.Pe + 6, 0xFFFF); }, kNotPeImage},
      {"no sections", [](T& t, const Layout& l) { t.Put16(l.Pe + 6, 0); }, kMalformed},
      {"two data directories", [](T& t, const Layout& l) { t.Put32(l.DirectoryCount, 2); },
       kNoVersionType},
      {"no resource directory", [](T& t, const Layout& l) { t.Put32(l.ResourceEntry, 0); },
       kNoVersionType},
      {"resource directory of size 0",
       [](T& t, const Layout& l) { t.Put32(l.ResourceEntry + 4, 0); }, kNoVersionType},
      {"resource directory at the top of the address space",
       [](T& t, const Layout& l) { t.Put32(l.ResourceEntry, 0xFFFFFFF8); }, kMalformed},
      {"resource section past the end of the file",
       [](T& t, const Layout& l) { t.Put32(l.Rsrc + 20, 0xFFFFFE00); }, kMalformed},
      {"resource section of absurd size",
       [](T& t, const Layout& l) {
         t.Put32(l.Rsrc + 8, 0xFFFFFFFF);
         t.Put32(l.Rsrc + 16, 0xFFFFFFFF);
         t.Put32(l.Rsrc + 20, 0xFFFFFFFF);
       },
       kMalformed},
      {"absurd entry counts",
       [](T& t, const Layout& l) {
         t.Put16(l.Root + 12, 0xFFFF);
         t.Put16(l.Root + 14, 0xFFFF);
       },
       kMalformed},
      {"type 16 loops to the root",
       [](T& t, const Layout& l) { t.Put32(l.TypeEntry + 4, 0x80000000); }, kMalformed},
      {"name directory loops to itself",
       [](T& t, const Layout& l) {
         t.Put32(l.NameEntry + 4, 0x80000000 | static_cast<std::uint32_t>(l.NameDir - l.Root));
       },
       kMalformed},
      {"language entry is a directory",
       [](T& t, const Layout& l) {
         t.Put32(l.LangDir + 16 + 4, 0x80000000 | static_cast<std::uint32_t>(l.TypeEntry - l.Root));
       },
       kMalformed},
      {"type 16 is no directory",
       [](T& t, const Layout& l) {
         t.Put32(l.TypeEntry + 4, Get32(t.Bytes, l.TypeEntry + 4) & 0x7FFFFFFF);
       },
       kMalformed},
      {"directory offset past the section",
       [](T& t, const Layout& l) { t.Put32(l.TypeEntry + 4, 0xFFFFFFFF); }, kMalformed},
      {"no version names",
       [](T& t, const Layout& l) {
         t.Put16(l.NameDir + 12, 0);
         t.Put16(l.NameDir + 14, 0);
       },
       kNoVersionName},
      {"no languages",
       [](T& t, const Layout& l) {
         t.Put16(l.LangDir + 12, 0);
         t.Put16(l.LangDir + 14, 0);
       },
       kNoVersionLang},
      {"data entry past the section",
       [](T& t, const Layout& l) { t.Put32(l.LangDir + 16 + 4, 0x7FFFFFF0); }, kMalformed},
      {"data at the top of the address space",
       [](T& t, const Layout& l) {
         t.Put32(l.DataEntry, 0xFFFFFFF0);
         t.Put32(l.DataEntry + 4, 0xFFFFFFFF);
       },
       kMalformed},
      {"data of size 0", [](T& t, const Layout& l) { t.Put32(l.DataEntry + 4, 0); }, kMalformed},
      {"data shorter than the fixed block",
       [](T& t, const Layout& l) { t.Put32(l.DataEntry + 4, 91); }, kMalformed},
      {"block longer than the data", [](T& t, const Layout& l) { t.Put16(l.Block, 0xFFFF); },
       kMalformed},
      {"block shorter than the fixed block", [](T& t, const Layout& l) { t.Put16(l.Block, 91); },
       kMalformed},
      {"no value", [](T& t, const Layout& l) { t.Put16(l.Block + 2, 0); }, kMalformed},
      {"value shorter than the fixed block",
       [](T& t, const Layout& l) { t.Put16(l.Block + 2, 51); }, kMalformed},
      {"value longer than the block",
       [](T& t, const Layout& l) { t.Put16(l.Block + 2, Get16(t.Bytes, l.Block)); }, kMalformed},
      {"key", [](T& t, const Layout& l) { t.Put16(l.Block + 6 + 2 * 14, 'P'); }, kMalformed},
      {"key terminator", [](T& t, const Layout& l) { t.Put16(l.Block + 6 + 2 * 15, 'X'); },
       kMalformed},
      {"signature", [](T& t, const Layout& l) { t.Put32(l.Block + 40, 0xFEEF04BC); }, kMalformed},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.Name);
    Damaged.Bytes = Original;
    damage.Apply(Damaged, Where);
    ASSERT_NE(Damaged.Bytes, Original);
    FixedFileInfo info = Untouched();
    EXPECT_EQ(ReadCopy(info), damage.Expected);
    EXPECT_EQ(info, Untouched());
  }
}

TEST_P(PeVersionReaderTest, AbsurdDirectoryCountIsNotTrusted) {
  Damaged.Put32(Where.DirectoryCount, 0xFFFFFFFF);
  FixedFileInfo info;
  ASSERT_EQ(ReadCopy(info), kOk);
  EXPECT_EQ(info, DeclaredInfo());
}

TEST(PeVersionReaderFilesTest, FilesWithoutVersionResource) {
  test::TempDir dir;
  test::WriteFile(dir / "empty", "");
  test::WriteFile(dir / "text.dll", "This is no Windows library, however it is named.\n");
  test::WriteFile(dir / "mz", "MZ");
  std::filesystem::create_directory(dir / "folder.dll");
  // Neither may block nor be read: a FIFO without a writer, endless zeros.
  ASSERT_EQ(::mkfifo((dir / "fifo.dll").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero.dll");
  const struct {
    std::filesystem::path File;
    HResult Expected;
  } cases[]{
      {kFixtures / "NoVersion64.dll", kNoVersionType},
      {kFixtures / "NoResources64.dll", kNoVersionType},
      {dir / "missing.dll", HResultFromError(ENOENT)},
      {dir / "folder.dll", HResultFromError(EISDIR)},
      {dir / "empty", kNotPeImage},
      {dir / "text.dll", kNotPeImage},
      {dir / "mz", kNotPeImage},
      {dir / "fifo.dll", kNotPeImage},
      {dir / "zero.dll", kNotPeImage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    FixedFileInfo info = Untouched();
    EXPECT_EQ(ReadFixedFileInfo(c.File, info), c.Expected);
    EXPECT_EQ(info, Untouched());
  }
}

}  // namespace
}  // namespace varo::platform
