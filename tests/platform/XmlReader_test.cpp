// The reader's behaviour that both backends share: libxml2 on Linux, MSXML on
// Windows. Where Wine's MSXML falls short of Windows, the case is skipped
// under Wine with the reason.
#include "platform/XmlReader.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/SourcePath.h"
#include "support/TempDir.h"
#include "support/XmlEntries.h"
#ifdef _WIN32
#include "windows/WineHost.h"
#endif

namespace varo::platform {
namespace {

using test::Dump;
using test::Flatten;
using Child = test::XmlChildPair;
using Entries = test::XmlEntryPairs;

bool UnderWine() {
#ifdef _WIN32
  return test::RunningUnderWine();
#else
  return false;
#endif
}

std::filesystem::path Fixture(const char* name) {
  return test::SourcePath("tests/fixtures/xml") / name;
}

// A bound that no document of these tests comes near, unless it is the one
// under test.
constexpr std::size_t kAnySize = 32u << 20;

class XmlReaderTest : public ::testing::Test {
 protected:
  std::optional<Entries> Read(std::string_view document, std::string_view tag = "File",
                              std::size_t maxBytes = kAnySize) {
    const auto file = Dir / "list.xml";
    test::WriteFile(file, document);
    return Flatten(ReadXmlEntries(file, tag, maxBytes));
  }
  test::TempDir Dir;
};

TEST_F(XmlReaderTest, EntriesAreTheNamedElementsBelowTheRootInDocumentOrder) {
  const auto entries = Read(
      "<File><File><FileName>1</FileName><File><FileName>2</FileName></File></File>"
      "<group><file><FileName>lower</FileName></file>"
      "<x:File xmlns:x='urn:x'><FileName>prefixed</FileName></x:File>"
      "<File><FileName>3</FileName></File></group></File>");
  const Entries expected{
      {{"FileName", "1"}, {"File", "2"}},
      {{"FileName", "2"}},
      {{"FileName", "3"}},
  };
  EXPECT_EQ(entries, expected) << Dump(entries);

  // A wildcard is a name like any other, which no element has.
  EXPECT_EQ(Read("<r><File><a>b</a></File></r>", "*"), Entries{});
  EXPECT_EQ(Read("<r><File><a>b</a></File></r>", ""), Entries{});
  EXPECT_EQ(Read("<r/>"), Entries{});
}

TEST_F(XmlReaderTest, APrefixedTagIsMatchedByItsQualifiedName) {
  if (UnderWine()) {
    GTEST_SKIP() << "Wine's getElementsByTagName finds no element by a prefixed name";
  }
  EXPECT_EQ(Read("<r><x:File xmlns:x='urn:x'><a>b</a></x:File><File/></r>", "x:File"),
            (Entries{{{"a", "b"}}}));
}

// The root's attribute that is asked for, decoded and normalised; those of
// other elements, and namespace declarations, never count.
TEST_F(XmlReaderTest, TheRootAttributeAskedForIsReadWithItsValueDecoded) {
  const struct {
    const char* Document;
    const char* Name;
    std::optional<std::string> Value;
  } cases[]{
      {"<r/>", "Sequence", std::nullopt},
      {"<r><File Sequence='9'/></r>", "Sequence", std::nullopt},
      {"<r sequence='9'/>", "Sequence", std::nullopt},
      {"<UpdateList Sequence=\"2026121001\"><File/></UpdateList>", "Sequence", "2026121001"},
      {"<r b='2' a='1' xmlns='urn:d' xmlns:p='urn:p' p:q='v'/>", "a", "1"},
      {"<r b='2' a='1' xmlns='urn:d' xmlns:p='urn:p' p:q='v'/>", "p:q", "v"},
      {"<r xmlns='urn:d'/>", "xmlns", std::nullopt},
      {"<r a=''/>", "a", ""},
      {"<r v='a &amp; b &#38; c &lt; &#x4E2D; &amp;#38;'/>", "v", "a & b & c < 中 &#38;"},
      {"<r v='1\t2\n3&#10;4 '/>", "v", "1 2 3\n4 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Document) + " " + c.Name);
    test::WriteFile(Dir / "list.xml", c.Document);
    const std::optional<XmlDocument> document =
        ReadXmlDocument(Dir / "list.xml", "File", c.Name, kAnySize);
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(document->RootAttribute, c.Value);
  }
  test::WriteFile(Dir / "list.xml", "<r Sequence='1'><File>");
  EXPECT_FALSE(ReadXmlDocument(Dir / "list.xml", "File", "Sequence", kAnySize).has_value());
}

TEST_F(XmlReaderTest, ChildrenOfEveryKindWithTheirTrimmedText) {
  const auto entries = Read(
      "<r><File Length='99'> lead <FileName>\n\t a.dll \r\n</FileName><!-- note -->"
      "<![CDATA[ <raw> ]]><?target data?><Empty/><Deep>x<b> y </b>z<!--no--></Deep>"
      "<Ref>文件&amp;&#x4E2D;</Ref>\n  </File></r>");
  const Entries expected{{
      {"#text", "lead"},
      {"FileName", "a.dll"},
      {"#comment", "note"},
      {"#cdata-section", "<raw>"},
      {"target", "data"},
      {"Empty", ""},
      {"Deep", "x y z"},
      {"Ref", "文件&中"},
      {"#text", ""},
  }};
  EXPECT_EQ(entries, expected) << Dump(entries);
}

TEST(XmlReaderEncodingTest, Utf8List) {
  const auto utf8 = Flatten(ReadXmlEntries(Fixture("update-utf8.xml"), "File", kAnySize));
  ASSERT_TRUE(utf8.has_value());
  ASSERT_EQ(utf8->size(), 2u);
  EXPECT_EQ(utf8->at(0).at(0), (Child{"#text", ""}));
  EXPECT_EQ(utf8->at(0).at(1), (Child{"FileName", "游戏大厅.exe"}));
  EXPECT_EQ(utf8->at(0).at(11), (Child{"ExecutePar", "/安装 \"中文 参数\""}));
  EXPECT_EQ(utf8->at(1).at(1), (Child{"FileName", "张喆的存档.dat"}));
}

// Each list in another encoding gives the entries of its UTF-8 twin.
class XmlReaderEncodingTwinTest : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Encodings, XmlReaderEncodingTwinTest,
                         ::testing::Values("update-gb2312.xml", "update-gbk.xml",
                                           "update-utf16.xml"));

TEST_P(XmlReaderEncodingTwinTest, GivesTheEntriesOfTheUtf8Twin) {
  if (std::string_view(GetParam()) == "update-gb2312.xml" && UnderWine()) {
    GTEST_SKIP() << "Wine's MSXML decodes the encoding name GBK (code page 936) but refuses "
                    "the name GB2312";
  }
  const auto utf8 = Flatten(ReadXmlEntries(Fixture("update-utf8.xml"), "File", kAnySize));
  ASSERT_TRUE(utf8.has_value());
  const auto entries = Flatten(ReadXmlEntries(Fixture(GetParam()), "File", kAnySize));
  EXPECT_EQ(entries, utf8) << Dump(entries);
}

// Bytes that are no character of the declared encoding make the document
// malformed.
TEST_F(XmlReaderTest, BytesOutsideTheDeclaredEncodingGiveNothing) {
  const std::string head = "<?xml version='1.0' encoding='GBK'?><r><File><FileName>";
  const std::string tail = "</FileName></File></r>";
  ASSERT_EQ(Read(head + "\xD6\xD0" + tail), (Entries{{{"FileName", "中"}}}));
  EXPECT_FALSE(Read(head + "\x81" + tail).has_value()) << "lead byte without its trail byte";
  if (UnderWine()) {
    GTEST_SKIP() << "Wine's MSXML drops the bytes FF FF of a GBK document instead of failing";
  }
  EXPECT_FALSE(Read(head + "\xFF\xFF" + tail).has_value()) << "FF FF";
}

TEST_F(XmlReaderTest, UnreadableOrMalformedDocumentsGiveNothing) {
  std::filesystem::create_directory(Dir / "folder.xml");
  const std::filesystem::path unreadable[] = {
      Dir / "missing.xml",
      Dir / "folder.xml",
      Dir.Path(),
#ifdef _WIN32
      // The null device, which reads as empty.
      std::filesystem::path("NUL"),
#endif
  };
  for (const auto& path : unreadable) {
    SCOPED_TRACE(path.string());
    EXPECT_FALSE(ReadXmlEntries(path, "File", kAnySize).has_value());
  }

  const std::pair<const char*, std::string> cases[] = {
      {"empty file", ""},
      {"HTML error page",
       "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>"
       "<body><p>Not found<br></body></html>"},
      {"truncated", "<r><File><FileName>a.dll</FileName>"},
      {"two roots", "<r/><r/>"},
      {"mismatched tags", "<r><File></file></r>"},
      {"undefined entity", "<r><File><FileName>&nbsp;</FileName></File></r>"},
      {"invalid UTF-8", "<r><File><FileName>\xC3\x28</FileName></File></r>"},
      {"invalid GB2312",
       "<?xml version='1.0' encoding='GB2312'?><r><File><FileName>\xFF\xFF</FileName></File></r>"},
      {"unknown encoding", "<?xml version='1.0' encoding='X-NO-SUCH'?><r/>"},
  };
  for (const auto& [what, document] : cases) {
    const auto entries = Read(document);
    EXPECT_FALSE(entries.has_value()) << what << "\n" << Dump(entries);
  }
}

TEST_F(XmlReaderTest, DocumentsUpToTheBoundLoad) {
  const std::string document = "<r><File><FileName>a.dll</FileName></File></r>";
  const Entries expected{{{"FileName", "a.dll"}}};
  EXPECT_EQ(Read(document, "File", document.size()), expected);
  EXPECT_FALSE(Read(document, "File", document.size() - 1).has_value());

  // The bound counts the file's bytes, whatever the encoding.
  const auto utf16 = Fixture("update-utf16.xml");
  const std::size_t size = std::filesystem::file_size(utf16);
  EXPECT_TRUE(ReadXmlEntries(utf16, "File", size).has_value());
  EXPECT_FALSE(ReadXmlEntries(utf16, "File", size - 1).has_value());
}

// On Windows the name is outside the ANSI code page; on Linux it is UTF-8.
TEST_F(XmlReaderTest, AListUnderANameOutsideTheAnsiCodePageLoads) {
  const auto file = Dir / std::filesystem::path(u8"更新 ü.xml");
  test::WriteFile(file, "<r><File><FileName>a.dll</FileName></File></r>");
  EXPECT_EQ(Flatten(ReadXmlEntries(file, "File", kAnySize)), (Entries{{{"FileName", "a.dll"}}}));
}

TEST(XmlReaderThreadsTest, ThreadsReadAtTheSameTime) {
  // The first reads of the process run side by side, library set-up
  // included, half of them in GBK and half in UTF-16.
  std::vector<std::optional<Entries>> results(8);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const char* twin = i % 2 == 0 ? "update-gbk.xml" : "update-utf16.xml";
      threads.emplace_back([&result = results[i], twin] {
        result = Flatten(ReadXmlEntries(Fixture(twin), "File", kAnySize));
      });
    }
  }
  const auto expected = Flatten(ReadXmlEntries(Fixture("update-utf8.xml"), "File", kAnySize));
  ASSERT_TRUE(expected.has_value());
  for (const auto& result : results) {
    EXPECT_EQ(result, expected);
  }
}

// Documents that try to make the reader expand entities without bound or
// read files and URLs that the list names. None of them may load, and the
// secret may never appear.
class HostileXmlTest : public XmlReaderTest {
 protected:
  void SetUp() override {
    test::WriteFile(Dir / "secret.txt", kSecret);
    test::WriteFile(Dir / "secret.dtd", std::string("<!ENTITY leak \"") + kSecret + "\">");
  }
  void ExpectRefused(const std::string& what, const std::string& document) {
    const auto entries = Read(document);
    EXPECT_FALSE(entries.has_value()) << what << "\n" << Dump(entries);
    EXPECT_EQ(Dump(entries).find(kSecret), std::string::npos) << what;
  }
  std::string FileUrl(const char* name) const {
#ifdef _WIN32
    return "file:///" + (Dir / name).generic_string();
#else
    return "file://" + (Dir / name).string();
#endif
  }
  static constexpr const char* kSecret = "SECRET-7f3a";
};

TEST_F(HostileXmlTest, EntityExpansionIsBounded) {
  std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lollollollollollollollollollol\">";
  for (int level = 1; level <= 12; ++level) {
    laughs += "<!ENTITY l" + std::to_string(level) + " \"";
    for (int i = 0; i < 10; ++i) {
      laughs += "&l" + std::to_string(level - 1) + ";";
    }
    laughs += "\">";
  }
  laughs += "]><r><File><FileName>&l12;</FileName></File></r>";
  ExpectRefused("exponential expansion", laughs);

  std::string quadratic =
      "<!DOCTYPE r [<!ENTITY big \"" + std::string(40000, 'a') + "\">]><r><File>";
  for (int i = 0; i < 40000; ++i) {
    quadratic += "<FileName>&big;</FileName>";
  }
  quadratic += "</File></r>";
  ExpectRefused("quadratic expansion", quadratic);
}

// Any document type declaration makes the document fail, even one that
// declares nothing: the same body without it loads.
TEST_F(HostileXmlTest, AnyDocumentTypeDeclarationIsRefused) {
  const std::string body = "<r><File><FileName>a.dll</FileName></File></r>";
  ASSERT_EQ(Read(body), (Entries{{{"FileName", "a.dll"}}}));

  // Many entities, each expanding to a large text, all used: harmless in
  // size on disk, yet the expansion grows with the square of it.
  std::string entityList = "<!DOCTYPE r [<!ENTITY b \"" + std::string(1000, 'a') + "\">";
  std::string references;
  for (int i = 0; entityList.size() < 270'000; ++i) {
    entityList += "<!ENTITY e" + std::to_string(i) + " \"&b;&b;&b;&b;&b;&b;&b;&b;\">";
    references += "&e" + std::to_string(i) + ";";
  }
  entityList += "]>";

  const std::pair<const char*, std::string> cases[] = {
      {"without internal subset", "<!DOCTYPE r>" + body},
      {"empty internal subset", "<!DOCTYPE r []>" + body},
      {"element declarations only",
       "<!DOCTYPE r [<!ELEMENT r ANY><!ATTLIST r a CDATA '1'>]>" + body},
      {"internal entity declared, not used", "<!DOCTYPE r [<!ENTITY name \"x\">]>" + body},
      {"internal entity used",
       "<!DOCTYPE r [<!ENTITY name \"文件\">]><r><File><FileName>&name;</FileName></File></r>"},
      {"after the XML declaration", "<?xml version='1.0'?>\n<!DOCTYPE r>\n" + body},
      {"quadratic expansion of many entities",
       entityList + "<r><File><FileName>" + references + "</FileName></File></r>"},
  };
  for (const auto& [what, document] : cases) {
    ExpectRefused(what, document);
  }
}

TEST_F(HostileXmlTest, ExternalEntitiesAndDtdsAreNeverLoaded) {
  const std::pair<std::string, std::string> cases[] = {
      {"external entity by file URL", "<!DOCTYPE r [<!ENTITY s SYSTEM \"" + FileUrl("secret.txt") +
                                          "\">]><r><File><FileName>&s;</FileName></File></r>"},
      {"external entity by relative path",
       "<!DOCTYPE r [<!ENTITY s SYSTEM "
       "\"secret.txt\">]><r><File><FileName>&s;</FileName></File></r>"},
      {"external entity declared, not used",
       "<!DOCTYPE r [<!ENTITY s SYSTEM \"" + FileUrl("secret.txt") + "\">]><r><File/></r>"},
      {"external parameter entity", "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + FileUrl("secret.dtd") +
                                        "\"> %p;]><r><File><FileName>&leak;</FileName></File></r>"},
      {"public external entity", R"(<!DOCTYPE r [<!ENTITY s PUBLIC "-//X//Y" ")" +
                                     FileUrl("secret.txt") +
                                     "\">]><r><File><FileName>&s;</FileName></File></r>"},
      {"unparsed entity", R"(<!DOCTYPE r [<!NOTATION n SYSTEM "n"><!ENTITY s SYSTEM ")" +
                              FileUrl("secret.txt") + "\" NDATA n>]><r><File/></r>"},
      {"external DTD subset", "<!DOCTYPE r SYSTEM \"" + FileUrl("secret.dtd") +
                                  "\"><r><File><FileName>&leak;</FileName></File></r>"},
      {"external DTD subset on the network",
       R"(<!DOCTYPE r PUBLIC "-//X//Y" "http://127.0.0.1:9/x.dtd"><r><File/></r>)"},
  };
  for (const auto& [what, document] : cases) {
    ExpectRefused(what, document);
  }
}

TEST_F(HostileXmlTest, XIncludeIsAPlainElement) {
  const auto entries =
      Read("<r><File><xi:include xmlns:xi='http://www.w3.org/2001/XInclude' href='" +
           FileUrl("secret.txt") + "' parse='text'/></File></r>");
  EXPECT_EQ(entries, (Entries{{{"xi:include", ""}}})) << Dump(entries);
}

}  // namespace
}  // namespace varo::platform
