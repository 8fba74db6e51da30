#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/XmlReader.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

using Child = std::pair<std::string, std::string>;
using Entries = std::vector<std::vector<Child>>;

std::optional<Entries> Flatten(const std::optional<std::vector<XmlEntry>>& read) {
  if (!read) {
    return std::nullopt;
  }
  Entries entries;
  for (const XmlEntry& entry : *read) {
    auto& children = entries.emplace_back();
    for (const XmlChild& child : entry) {
      children.emplace_back(child.Name, child.Text);
    }
  }
  return entries;
}

std::string Dump(const std::optional<Entries>& entries) {
  if (!entries) {
    return "nothing";
  }
  std::ostringstream out;
  for (const auto& entry : *entries) {
    out << "{";
    for (const auto& [name, text] : entry) {
      out << " " << name << "=[" << text << "]";
    }
    out << " }\n";
  }
  return out.str();
}

const std::filesystem::path kFixtures =
    std::filesystem::path(VARO_SOURCE_DIR) / "tests/fixtures/xml";

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

  EXPECT_EQ(Read("<r><x:File xmlns:x='urn:x'><a>b</a></x:File></r>", "x:File"),
            (Entries{{{"a", "b"}}}));
  EXPECT_EQ(Read("<r/>"), Entries{});
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
      "<Ref>文件&amp;&#x4E2D;</Ref></File></r>");
  const Entries expected{{
      {"#text", "lead"},
      {"FileName", "a.dll"},
      {"#comment", "note"},
      {"#cdata-section", "<raw>"},
      {"target", "data"},
      {"Empty", ""},
      {"Deep", "x y z"},
      {"Ref", "文件&中"},
  }};
  EXPECT_EQ(entries, expected) << Dump(entries);
}

TEST_F(XmlReaderTest, DeclaredEncodingGivesTheSameEntriesAsTheUtf8Twin) {
  const auto utf8 = Flatten(ReadXmlEntries(kFixtures / "update-utf8.xml", "File", kAnySize));
  ASSERT_TRUE(utf8.has_value());
  ASSERT_EQ(utf8->size(), 2u);
  EXPECT_EQ(utf8->at(0).at(1), (Child{"FileName", "游戏大厅.exe"}));
  EXPECT_EQ(utf8->at(0).at(11), (Child{"ExecutePar", "/安装 \"中文 参数\""}));
  EXPECT_EQ(utf8->at(1).at(1), (Child{"FileName", "张喆的存档.dat"}));

  for (const char* twin : {"update-gb2312.xml", "update-gbk.xml", "update-utf16.xml"}) {
    const auto entries = Flatten(ReadXmlEntries(kFixtures / twin, "File", kAnySize));
    EXPECT_EQ(entries, utf8) << twin << "\n" << Dump(entries);
  }
}

TEST_F(XmlReaderTest, UnreadableOrMalformedDocumentsGiveNothing) {
  EXPECT_FALSE(ReadXmlEntries(Dir / "missing.xml", "File", kAnySize).has_value());
  EXPECT_FALSE(ReadXmlEntries(Dir.Path(), "File", kAnySize).has_value());

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
  const auto utf16 = kFixtures / "update-utf16.xml";
  const std::size_t size = std::filesystem::file_size(utf16);
  EXPECT_TRUE(ReadXmlEntries(utf16, "File", size).has_value());
  EXPECT_FALSE(ReadXmlEntries(utf16, "File", size - 1).has_value());
}

// A FIFO without a writer would block a plain open() for ever; /dev/zero
// would never end.
TEST_F(XmlReaderTest, WhatIsNoRegularFileFailsWithoutBlocking) {
  ASSERT_EQ(::mkfifo((Dir / "fifo.xml").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", Dir / "zero.xml");
  for (const char* name : {"fifo.xml", "zero.xml"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(ReadXmlEntries(Dir / name, "File", kAnySize).has_value());
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
  std::string FileUrl(const char* name) const { return "file://" + (Dir / name).string(); }
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
      {"public external entity", "<!DOCTYPE r [<!ENTITY s PUBLIC \"-//X//Y\" \"" +
                                     FileUrl("secret.txt") +
                                     "\">]><r><File><FileName>&s;</FileName></File></r>"},
      {"unparsed entity", "<!DOCTYPE r [<!NOTATION n SYSTEM \"n\"><!ENTITY s SYSTEM \"" +
                              FileUrl("secret.txt") + "\" NDATA n>]><r><File/></r>"},
      {"external DTD subset", "<!DOCTYPE r SYSTEM \"" + FileUrl("secret.dtd") +
                                  "\"><r><File><FileName>&leak;</FileName></File></r>"},
      {"external DTD subset on the network",
       "<!DOCTYPE r PUBLIC \"-//X//Y\" \"http://127.0.0.1:9/x.dtd\"><r><File/></r>"},
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

TEST(XmlReaderThreadsTest, ThreadsReadAtTheSameTime) {
  // The first reads of the process run side by side, library set-up included.
  std::vector<std::optional<Entries>> results(8);
  {
    std::vector<std::jthread> threads;
    for (auto& result : results) {
      threads.emplace_back([&result] {
        result = Flatten(ReadXmlEntries(kFixtures / "update-gbk.xml", "File", kAnySize));
      });
    }
  }
  const auto expected = Flatten(ReadXmlEntries(kFixtures / "update-utf8.xml", "File", kAnySize));
  ASSERT_TRUE(expected.has_value());
  for (const auto& result : results) {
    EXPECT_EQ(result, expected);
  }
}

}  // namespace
}  // namespace varo::platform
