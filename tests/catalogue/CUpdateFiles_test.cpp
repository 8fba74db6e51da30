#include "catalogue/CUpdateFiles.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "windows/Links.h"
#endif

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/Utf8Path.h"
#include "platform/Crypto.h"
#include "support/SourcePath.h"
#include "support/TempDir.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

const fs::path kFixtures = test::SourcePath("tests/fixtures/xml");

// Makes a symbolic link at link to target (a folder or a file); false when
// none can be made. On Windows the system call makes it: mingw-w64's
// std::filesystem makes no symbolic links there.
bool MakeSymlink(const fs::path& target, const fs::path& link, bool folder) {
#ifdef _WIN32
  return test::MakeSymbolicLink(link, fs::path(target).make_preferred(), folder);
#else
  std::error_code error;
  if (folder) {
    fs::create_directory_symlink(target, link, error);
  } else {
    fs::create_symlink(target, link, error);
  }
  return !error;
#endif
}

// Every field of a record, for comparing whole records and for messages.
std::string Describe(const CUpdateFile& r) {
  std::ostringstream out;
  out << "FileName=[" << r.FileName << "] FileVersion=[" << r.FileVersion << "] ProductVersion=["
      << r.ProductVersion << "] Length=" << r.Length << " FileTime=" << r.FileTime.High << ":"
      << r.FileTime.Low << " InstallDir=[" << r.InstallDir << "] Register=" << r.Register
      << " ZipFile=" << r.ZipFile << " ForceOverwrite=" << r.ForceOverwrite
      << " Execute=" << r.Execute << " ExecutePar=[" << r.ExecutePar << "] LocalPath=["
      << r.LocalPath << "] LocalFile=[" << PathToUtf8(r.LocalFile) << "] URL=[" << r.URL
      << "] UserName=[" << r.UserName << "] Password=[" << r.Password
      << "] NeedUpdate=" << r.NeedUpdate;
  return out.str();
}

std::string HexSha256Of(const std::string& text) {
  return platform::ToHex(
      platform::Sha256Of({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
}

std::vector<std::string> DescribeAll(const CUpdateFiles& files) {
  std::vector<std::string> result;
  files.ForEach([&](const CUpdateFile& r) { result.push_back(Describe(r)); });
  return result;
}

class UpdateFilesTest : public ::testing::Test {
 protected:
  // Loads a list whose root holds the given entries.
  bool LoadEntries(CUpdateFiles& files, const std::string& entries) {
    test::WriteFile(Dir / "list.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>\n" +
                                          entries + "\n</UpdateList>\n");
    return files.Load(Dir / "list.xml");
  }
  bool LoadEntries(const std::string& entries) { return LoadEntries(Files, entries); }

  // Whether an entry of these texts (as XML) is kept in a list where it
  // comes before a plain one.
  bool IsKept(const std::string& localPath, const std::string& fileName) {
    EXPECT_TRUE(LoadEntries("<File><LocalPath>" + localPath + "</LocalPath><FileName>" + fileName +
                            "</FileName></File><File><FileName>next.dll</FileName></File>"));
    EXPECT_GE(Files.GetCount(), 1u);
    return Files.GetCount() == 2;
  }

  // The only record of the list; fails the test when there is not exactly one.
  const CUpdateFile& Only() {
    EXPECT_EQ(Files.GetCount(), 1u) << ::testing::PrintToString(DescribeAll(Files));
    static const CUpdateFile kNone;
    return Files.GetHead() != nullptr ? *Files.GetHead() : kNone;
  }

  test::TempDir Dir;
  const fs::path App = Dir / "app";
  CUpdateFiles Files{App};
};

TEST_F(UpdateFilesTest, SingleFileNameGivesInitialValuesBesideTheProgram) {
  ASSERT_TRUE(LoadEntries("<File><FileName>a.dll</FileName></File>"));
  CUpdateFile expected(App / "a.dll");
  expected.FileName = "a.dll";
  EXPECT_EQ(Describe(Only()), Describe(expected));
}

TEST_F(UpdateFilesTest, ChildNamesIgnoreCaseAndOnlyDirectChildElementsCount) {
  ASSERT_TRUE(
      LoadEntries("<File FileName='attr.dll' Length='5' URL='http://attr/'>"
                  "  <filename>first.dll</filename><FILEVERSION>1.2</FILEVERSION>"
                  "  <!-- <Length>7</Length> --><Size>8</Size><Extra><Length>9</Length></Extra>"
                  "  <url> http://x.test/a </url><Password></Password><uSeRnAmE>u</uSeRnAmE>"
                  "  <ProductVersion>4.5</ProductVersion><FileName>second.dll</FileName>"
                  "</File>"
                  "<file><FileName>lower.dll</FileName></file>"));
  const CUpdateFile& record = Only();
  EXPECT_EQ(record.FileName, "second.dll");
  EXPECT_EQ(record.LocalFile, App / "second.dll");
  EXPECT_EQ(record.FileVersion, "1.2");
  EXPECT_EQ(record.ProductVersion, "4.5");
  EXPECT_EQ(record.Length, 0);
  EXPECT_EQ(record.URL, "http://x.test/a");
  EXPECT_EQ(record.UserName, "u");
  EXPECT_EQ(record.Password, "");
}

TEST_F(UpdateFilesTest, NumbersReadLikeTheListWritesThem) {
  struct Case {
    const char* Text;
    std::int64_t Length;
    std::uint32_t Half;
  };
  const Case cases[] = {
      {"123abc", 123, 123},
      {"-1", -1, 4294967295u},
      // Lengths are 64-bit; the time halves are clamped to 32 bits.
      {"4294967295", 4294967295LL, 2147483647u},
      {"2147483648", 2147483648LL, 2147483647u},
      {"5368709120", 5368709120LL, 2147483647u},
      {"-2147483648", -2147483648LL, 2147483648u},
      {"-2147483649", -2147483649LL, 2147483648u},
      {"9223372036854775807", INT64_MAX, 2147483647u},
      {"9223372036854775808", INT64_MAX, 2147483647u},
      {"-9223372036854775808", INT64_MIN, 2147483648u},
      {"-99999999999999999999", INT64_MIN, 2147483648u},
      {"  +42", 42, 42},
      {"\t-7x8", -7, 4294967289u},
      {"abc", 0, 0},
      {"", 0, 0},
      {"- 5", 0, 0},
      {"0x10", 0, 0},
  };
  for (const Case& c : cases) {
    const std::string text = c.Text;
    ASSERT_TRUE(LoadEntries("<File><FileName>n</FileName><Length>" + text +
                            "</Length><FileDateLow>" + text + "</FileDateLow><FileDateHigh>" +
                            text + "</FileDateHigh></File>"));
    const CUpdateFile& record = Only();
    EXPECT_EQ(record.Length, c.Length) << "[" << text << "]";
    EXPECT_EQ(record.FileTime.Low, c.Half) << "[" << text << "]";
    EXPECT_EQ(record.FileTime.High, c.Half) << "[" << text << "]";
  }
}

TEST_F(UpdateFilesTest, FlagsAreTrueOnlyForYes) {
  const std::pair<const char*, bool> cases[] = {
      {"YES", true},   {"yes", true}, {"yEs", true},   {" YES\n", true}, {"1", false},
      {"true", false}, {"Y", false},  {"YESS", false}, {"", false},      {"NO", false},
  };
  for (const auto& [text, expected] : cases) {
    const std::string value = text;
    ASSERT_TRUE(LoadEntries("<File><FileName>f</FileName><Register>" + value +
                            "</Register><ZipFile>" + value + "</ZipFile><ForceOverwrite>" + value +
                            "</ForceOverwrite><Execute>" + value + "</Execute></File>"));
    const CUpdateFile& record = Only();
    EXPECT_EQ(record.Register, expected) << "[" << value << "]";
    EXPECT_EQ(record.ZipFile, expected) << "[" << value << "]";
    EXPECT_EQ(record.ForceOverwrite, expected) << "[" << value << "]";
    EXPECT_EQ(record.Execute, expected) << "[" << value << "]";
  }
}

// A hash is 64 hexadecimal digits in either case; an entry whose hash
// cannot be read is dropped, never kept without one.
TEST_F(UpdateFilesTest, Sha256IsReadAndAMalformedOneDropsTheEntry) {
  const std::string digits = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
  platform::Sha256Digest expected{};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    expected[i] = static_cast<std::uint8_t>((i % 16) * 0x11);
  }
  const struct {
    std::string Children;
    bool Kept;
  } cases[]{
      {"<Sha256>" + digits + "</Sha256>", true},
      {"<sha256>\n  " + digits + "\n</sha256>", true},
      {"<Sha256>" + digits.substr(1) + "</Sha256>", false},
      {"<Sha256>" + digits + "0</Sha256>", false},
      {"<Sha256>" + digits.substr(1) + "g</Sha256>", false},
      {"<Sha256>" + digits.substr(0, 32) + " " + digits.substr(33) + "</Sha256>", false},
      {"<Sha256></Sha256>", false},
      {"<Sha256/>", false},
      // One bad hash spoils the entry whatever comes after it.
      {"<Sha256>bad</Sha256><Sha256>" + digits + "</Sha256>", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Children);
    ASSERT_TRUE(LoadEntries("<File><FileName>a.dll</FileName>" + c.Children +
                            "</File><File><FileName>next.dll</FileName></File>"));
    ASSERT_EQ(Files.GetCount(), c.Kept ? 2u : 1u);
    const CUpdateFile& head = *Files.GetHead();
    if (c.Kept) {
      EXPECT_EQ(head.FileName, "a.dll");
      EXPECT_EQ(head.Sha256, expected);
    } else {
      EXPECT_EQ(head.FileName, "next.dll");
      EXPECT_EQ(head.Sha256, std::nullopt);
    }
  }
}

// The root's Sequence: digits only and at most 64 bits, or the list does
// not load; none is none, and each load sets it afresh.
TEST_F(UpdateFilesTest, SequenceComesFromTheRootOrTheListFailsToLoad) {
  const struct {
    const char* Attributes;
    bool Loads;
    std::optional<std::uint64_t> Sequence;
  } cases[]{
      {"", true, std::nullopt},
      {" Other='x'", true, std::nullopt},
      {" Sequence='0'", true, 0},
      {" Sequence=\"2026121001\"", true, 2026121001u},
      {" Sequence='007'", true, 7},
      {" sequence='5'", true, std::nullopt},
      {" Sequence='18446744073709551615'", true, UINT64_MAX},
      {" Sequence='18446744073709551616'", false, std::nullopt},
      {" Sequence=''", false, std::nullopt},
      {" Sequence=' 1'", false, std::nullopt},
      {" Sequence='1 '", false, std::nullopt},
      {" Sequence='-1'", false, std::nullopt},
      {" Sequence='+1'", false, std::nullopt},
      {" Sequence='1.0'", false, std::nullopt},
      {" Sequence='0x10'", false, std::nullopt},
      {" Sequence='１'", false, std::nullopt},
      {" Sequence='1' SEQUENCE='x'", true, 1},
      {" Sequence='1' Sequence='1'", false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Attributes);
    // A list with a sequence was loaded before: nothing of it stays.
    test::WriteFile(Dir / "before.xml", "<UpdateList Sequence='99'/>");
    ASSERT_TRUE(Files.Load(Dir / "before.xml"));
    ASSERT_EQ(Files.Sequence, 99u);
    test::WriteFile(Dir / "list.xml", std::string("<UpdateList") + c.Attributes +
                                          "><File><FileName>a.dll</FileName></File></UpdateList>");
    EXPECT_EQ(Files.Load(Dir / "list.xml"), c.Loads);
    EXPECT_EQ(Files.GetCount(), c.Loads ? 1u : 0u);
    EXPECT_EQ(Files.Sequence, c.Sequence);
  }
}

TEST_F(UpdateFilesTest, LocalFileStaysBelowTheProgramDirectory) {
  struct Case {
    const char* LocalPath;
    const char* FileName;
    std::optional<fs::path> Relative;  // nothing: the entry is dropped
  };
  const Case cases[] = {
      {"", "a.dll", "a.dll"},
      {"drivers", "x.sys", fs::path("drivers") / "x.sys"},
      {"资源\\图片", "游戏.exe",
       PathFromUtf8("资源") / PathFromUtf8("图片") / PathFromUtf8("游戏.exe")},
      {"a\\b\\", "c.dll", fs::path("a") / "b" / "c.dll"},
      {"a\\\\b", "c.dll", fs::path("a") / "b" / "c.dll"},
      {"a/b", "c.dll", fs::path("a") / "b" / "c.dll"},
      {".\\a", "sub\\c.dll", fs::path("a") / "sub" / "c.dll"},
      {"a..b", "c..d.dll", fs::path("a..b") / "c..d.dll"},
      {"", "..\\..\\evil.dll", std::nullopt},
      {"", "C:\\x.dll", std::nullopt},
      {"", "/etc/x", std::nullopt},
      {"", "\\x.dll", std::nullopt},
      {"a\\..\\..\\b", "c.dll", std::nullopt},
      {"a\\..", "c.dll", std::nullopt},
      {"", "a:b", std::nullopt},
      {"C:", "x.dll", std::nullopt},
      {"\\\\server\\share", "x.dll", std::nullopt},
      {"/abs", "x.dll", std::nullopt},
      {"a", "... ", std::nullopt},
      {"a", "", std::nullopt},
      {"a", ".", std::nullopt},
      {"", "sub\\", std::nullopt},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(LoadEntries(std::string("<File><LocalPath>") + c.LocalPath +
                            "</LocalPath><FileName>" + c.FileName +
                            "</FileName></File><File><FileName>next.dll</FileName></File>"));
    const std::vector<std::string> records = DescribeAll(Files);
    const CUpdateFile* head = Files.GetHead();
    ASSERT_NE(head, nullptr);
    if (c.Relative) {
      EXPECT_EQ(records.size(), 2u) << c.LocalPath << " | " << c.FileName;
      EXPECT_EQ(head->LocalFile, App / *c.Relative) << c.LocalPath << " | " << c.FileName;
      EXPECT_EQ(head->FileName, c.FileName);
      EXPECT_EQ(head->LocalPath, c.LocalPath);
    } else {
      EXPECT_EQ(records.size(), 1u) << c.LocalPath << " | " << c.FileName;
      EXPECT_EQ(head->LocalFile, App / "next.dll") << c.LocalPath << " | " << c.FileName;
    }
  }
}

TEST_F(UpdateFilesTest, NamesThatWindowsRefusesAreDropped) {
  struct Case {
    const char* LocalPath;
    const char* FileName;  // as XML text
    bool Kept;
  };
  const Case cases[] = {
      {"", "GameCenter&quot; -u -n -i &quot;other.dll", false},
      {"", "a&lt;b.dll", false},
      {"", "a&gt;b.dll", false},
      {"", "a|b.dll", false},
      {"", "what?.dll", false},
      {"", "*.dll", false},
      {"", "tab&#9;in.dll", false},
      {"line&#10;break", "x.dll", false},
      {"", "CON", false},
      {"", "nul.txt", false},
      {"", "Com1.dll", false},
      {"", "LPT9", false},
      {"", "aux .dat", false},
      {"", "COM\u00B2.log", false},
      {"prn", "x.dll", false},
      {"sub\\conout$", "x.dll", false},
      {"", "CONSOLE.dll", true},
      {"", "COM10.dll", true},
      {"", "nul_x.txt", true},
      {"", "x.con", true},
      {"lpt", "com.dll", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.LocalPath) + " | " + c.FileName);
    EXPECT_EQ(IsKept(c.LocalPath, c.FileName), c.Kept);
  }
}

TEST_F(UpdateFilesTest, LinksLeadingOutOfTheInstallationDropTheEntry) {
  const fs::path outside = Dir / "outside";
  fs::create_directories(outside);
  fs::create_directories(App / "real");
  test::WriteFile(outside / "victim.dll", "not ours");
  const bool linked = MakeSymlink(outside, App / "escape", true) &&
                      MakeSymlink(App / "real", App / "alias", true) &&
                      MakeSymlink(outside / "victim.dll", App / "victim.dll", false) &&
                      MakeSymlink("../outside", App / "relative", true);
#ifdef _WIN32
  if (!linked) {
    GTEST_SKIP() << test::kNoLinks;
  }
#endif
  ASSERT_TRUE(linked);
  struct Case {
    const char* LocalPath;
    const char* FileName;
    bool Kept;
  };
  const Case cases[] = {
      {"escape", "a.dll", false},        {"escape\\deeper\\new", "a.dll", false},
      {"relative", "a.dll", false},      {"", "victim.dll", false},
      {"alias", "a.dll", true},          {"real", "a.dll", true},
      {"not\\yet\\made", "a.dll", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.LocalPath) + " | " + c.FileName);
    EXPECT_EQ(IsKept(c.LocalPath, c.FileName), c.Kept);
  }
}

// Each folder is resolved once per list, yet every file in it is still
// looked at: a link among plain files of the same folder is seen. A file in a
// folder that leads out stays out even when it links back in, as what is put
// in its place would land outside.
TEST_F(UpdateFilesTest, LinksAmongTheFilesOfOneFolderDropTheirEntries) {
  const fs::path outside = Dir / "outside";
  fs::create_directories(outside);
  fs::create_directories(App / "real");
  test::WriteFile(App / "real" / "plain.dll", "ours");
  test::WriteFile(outside / "victim.dll", "not ours");
  const bool linked = MakeSymlink(outside / "victim.dll", App / "real" / "victim.dll", false) &&
                      MakeSymlink(App / "real" / "plain.dll", App / "real" / "inner.dll", false) &&
                      MakeSymlink(outside, App / "escape", true) &&
                      MakeSymlink(App / "real" / "plain.dll", outside / "back.dll", false);
#ifdef _WIN32
  if (!linked) {
    GTEST_SKIP() << test::kNoLinks;
  }
#endif
  ASSERT_TRUE(linked);
  struct Case {
    const char* LocalPath;
    const char* FileName;
    std::optional<fs::path> Kept;  // below App; nothing: the entry is dropped
  };
  const Case cases[] = {
      {"real", "plain.dll", fs::path("real") / "plain.dll"},
      {"real", "victim.dll", std::nullopt},
      {"real", "inner.dll", fs::path("real") / "inner.dll"},
      {"real", "new.dll", fs::path("real") / "new.dll"},
      {"", "real\\victim.dll", std::nullopt},
      {"", "real\\plain.dll", fs::path("real") / "plain.dll"},
      {"escape", "back.dll", std::nullopt},
      {"escape", "a.dll", std::nullopt},
      {"real", "victim.dll", std::nullopt},
  };
  std::string entries;
  std::vector<fs::path> expected;
  for (const Case& c : cases) {
    entries += std::string("<File><LocalPath>") + c.LocalPath + "</LocalPath><FileName>" +
               c.FileName + "</FileName></File>";
    if (c.Kept) {
      expected.push_back(App / *c.Kept);
    }
  }
  ASSERT_TRUE(LoadEntries(entries));
  std::vector<fs::path> kept;
  Files.ForEach([&](const CUpdateFile& r) { kept.push_back(r.LocalFile); });
  EXPECT_EQ(kept, expected);
}

TEST_F(UpdateFilesTest, InstallDirChoosesTheBaseDirectory) {
  const std::string entries =
      "<File><InstallDir>windowsdir</InstallDir><FileName>w.dll</FileName></File>"
      "<File><InstallDir>SYSTEMDIR</InstallDir><LocalPath>drivers</LocalPath>"
      "<FileName>x.sys</FileName></File>"
      "<File><InstallDir>Program</InstallDir><FileName>p.dll</FileName></File>"
      "<File><InstallDir></InstallDir><FileName>e.dll</FileName></File>"
      "<File><InstallDir>currentdir</InstallDir><FileName>c.dll</FileName></File>";
  auto localFiles = [](const CUpdateFiles& files) {
    std::vector<fs::path> result;
    files.ForEach([&](const CUpdateFile& r) { result.push_back(r.LocalFile); });
    return result;
  };

  // Without a Windows or system directory those entries do not apply.
  ASSERT_TRUE(LoadEntries(entries));
  EXPECT_EQ(localFiles(Files),
            (std::vector<fs::path>{App / "p.dll", App / "e.dll", App / "c.dll"}));

  const fs::path windows = Dir / "Windows";
  const fs::path system = windows / "System32";
  CUpdateFiles withSystem(App, windows, system);
  ASSERT_TRUE(LoadEntries(withSystem, entries));
  EXPECT_EQ(localFiles(withSystem),
            (std::vector<fs::path>{windows / "w.dll", system / "drivers" / "x.sys", App / "p.dll",
                                   App / "e.dll", App / "c.dll"}));
  ASSERT_NE(withSystem.GetHead(), nullptr);
  EXPECT_EQ(withSystem.GetHead()->InstallDir, "windowsdir");
}

TEST_F(UpdateFilesTest, UnloadableListsLeaveTheListEmpty) {
  ASSERT_TRUE(LoadEntries("<File><FileName>a.dll</FileName></File>"));
  EXPECT_FALSE(Files.Load(Dir / "missing.xml"));
  EXPECT_EQ(Files.GetCount(), 0u);

  ASSERT_TRUE(LoadEntries("<File><FileName>a.dll</FileName></File>"));
  test::WriteFile(Dir / "error.html",
                  "<html><head><title>502 Bad Gateway</title></head><body><hr></body></html>");
  EXPECT_FALSE(Files.Load(Dir / "error.html"));
  EXPECT_EQ(Files.GetCount(), 0u);
}

TEST_F(UpdateFilesTest, ListWithoutEntriesLoadsEmpty) {
  ASSERT_TRUE(LoadEntries("<File><FileName>old.dll</FileName></File>"));
  ASSERT_TRUE(LoadEntries("<!-- nothing to update -->"));
  EXPECT_EQ(Files.GetCount(), 0u);
  EXPECT_EQ(Files.RemoveUpToDate(), 0u);
  EXPECT_EQ(Files.GetTotalLength(), 0u);
  EXPECT_EQ(Files.RemoveHead(), nullptr);
}

TEST_F(UpdateFilesTest, RemoveUpToDateKeepsTheFilesToDownloadInOrder) {
  test::WriteFile(App / "current.dll", "x");
  test::WriteFile(App / "old.dll", "x");
  ASSERT_TRUE(
      LoadEntries("<File><FileName>missing1.dll</FileName><Length>1</Length></File>"
                  "<File><FileName>current.dll</FileName><Length>10</Length></File>"
                  "<File><FileName>missing2.dll</FileName><Length>100</Length></File>"
                  // Listed as written long after the file on disk.
                  "<File><FileName>old.dll</FileName><Length>1000</Length>"
                  "<FileDateHigh>2147483647</FileDateHigh></File>"));
  EXPECT_EQ(Files.GetTotalLength(), 0u);  // nothing checked yet

  EXPECT_EQ(Files.RemoveUpToDate(), 3u);
  std::vector<std::string> names;
  Files.ForEach([&](const CUpdateFile& r) {
    names.push_back(r.FileName);
    EXPECT_TRUE(r.NeedUpdate) << r.FileName;
  });
  EXPECT_EQ(names, (std::vector<std::string>{"missing1.dll", "missing2.dll", "old.dll"}));
  EXPECT_EQ(Files.GetTotalLength(), 1101u);

  for (const char* expected : {"missing1.dll", "missing2.dll", "old.dll"}) {
    const std::unique_ptr<CUpdateFile> head = Files.RemoveHead();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->FileName, expected);
  }
  EXPECT_EQ(Files.RemoveHead(), nullptr);
}

// Verify is passed on to every record's check: only then are current files
// with a listed hash read, and those whose content differs kept.
TEST_F(UpdateFilesTest, RemoveUpToDateWithVerifyKeepsFilesWhoseHashDiffers) {
  test::WriteFile(App / "good.dat", "good");
  test::WriteFile(App / "tampered.dat", "evil");
  test::WriteFile(App / "unlisted.dat", "evil");
  const std::string entries = "<File><FileName>good.dat</FileName><Sha256>" + HexSha256Of("good") +
                              "</Sha256></File>"
                              "<File><FileName>tampered.dat</FileName><Sha256>" +
                              HexSha256Of("good") +
                              "</Sha256></File>"
                              "<File><FileName>unlisted.dat</FileName></File>"
                              "<File><FileName>missing.dat</FileName><Sha256>" +
                              HexSha256Of("good") + "</Sha256></File>";
  for (const bool verify : {false, true}) {
    SCOPED_TRACE(verify ? "verify" : "no verify");
    ASSERT_TRUE(LoadEntries(entries));
    Files.Verify = verify;
    std::vector<std::pair<std::string, std::string>> kept;
    Files.RemoveUpToDate();
    Files.ForEach([&](const CUpdateFile& r) { kept.emplace_back(r.FileName, r.Reason); });
    using Kept = std::vector<std::pair<std::string, std::string>>;
    const Kept expected = verify
                              ? Kept{{"tampered.dat", "hash differs"}, {"missing.dat", "missing"}}
                              : Kept{{"missing.dat", "missing"}};
    EXPECT_EQ(kept, expected);
  }
}

TEST_F(UpdateFilesTest, TotalLengthCountsPast4GiB) {
  ASSERT_TRUE(
      LoadEntries("<File><FileName>a</FileName><Length>2147483647</Length></File>"
                  "<File><FileName>b</FileName><Length>2147483647</Length></File>"
                  "<File><FileName>c</FileName><Length>2</Length></File>"
                  "<File><FileName>d</FileName><Length>5368709120</Length></File>"));
  EXPECT_EQ(Files.RemoveUpToDate(), 4u);
  EXPECT_EQ(Files.GetTotalLength(), 4294967296u + 5368709120u);

  // Unknown (negative) lengths count nothing; the sum stops at the top.
  ASSERT_TRUE(
      LoadEntries("<File><FileName>a</FileName><Length>-1</Length></File>"
                  "<File><FileName>b</FileName><Length>3</Length></File>"));
  EXPECT_EQ(Files.RemoveUpToDate(), 2u);
  EXPECT_EQ(Files.GetTotalLength(), 3u);
  ASSERT_TRUE(
      LoadEntries("<File><FileName>a</FileName><Length>9223372036854775807</Length></File>"
                  "<File><FileName>b</FileName><Length>9223372036854775807</Length></File>"
                  "<File><FileName>c</FileName><Length>9</Length></File>"));
  EXPECT_EQ(Files.RemoveUpToDate(), 3u);
  EXPECT_EQ(Files.GetTotalLength(), UINT64_MAX);
}

TEST_F(UpdateFilesTest, ChineseListsGiveTheSameRecordsInEveryEncoding) {
  ASSERT_TRUE(Files.Load(kFixtures / "update-utf8.xml"));
  const std::vector<std::string> utf8 = DescribeAll(Files);
  ASSERT_EQ(utf8.size(), 2u);

  CUpdateFile first(App / PathFromUtf8("资源") / PathFromUtf8("图片") /
                    PathFromUtf8("游戏大厅.exe"));
  first.FileName = "游戏大厅.exe";
  first.FileVersion = "3.0.12.405";
  first.Length = 102400;
  first.LocalPath = "资源\\图片";
  first.Execute = true;
  first.ExecutePar = "/安装 \"中文 参数\"";
  first.URL = "http://download.example.com/Download/游戏大厅.exe";
  CUpdateFile second(App / PathFromUtf8("张喆的存档.dat"));
  second.FileName = "张喆的存档.dat";
  second.FileTime = {4294967295u, 30000000u};
  second.Register = true;
  EXPECT_EQ(utf8, (std::vector<std::string>{Describe(first), Describe(second)}));

  for (const std::string twin : {"update-gbk.xml", "update-gb2312.xml"}) {
#ifdef _WIN32
    if (twin == "update-gb2312.xml" && test::RunningUnderWine()) {
      GTEST_SKIP() << "Wine's MSXML decodes the encoding name GBK (code page 936) but refuses "
                      "the name GB2312";
    }
#endif
    CUpdateFiles other(App);
    ASSERT_TRUE(other.Load(kFixtures / twin)) << twin;
    EXPECT_EQ(DescribeAll(other), utf8) << twin;
  }
}

}  // namespace
}  // namespace varo
