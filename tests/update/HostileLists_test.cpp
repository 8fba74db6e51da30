// Whole runs (headless desktop, real local server) on update lists made to
// hurt: names that try to leave the installation, names no file system
// takes, huge lists, huge text, bytes that lie about their encoding. Each
// run must end without a crash, write nothing outside the installation, and
// take the window's error path where the list cannot be used.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/WholeRun.h"

namespace varo {
namespace {

namespace fs = std::filesystem;
using platform::StartRequest;

const StartRequest kClient{"Tandrel.exe", "", "open"};

// Peak resident size of this process so far, in MiB.
long PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

class HostileListTest : public ::testing::Test, protected test::WholeRun {
 protected:
  void Run(const std::string& body) {
    WholeRun::Run(body);
    EXPECT_TRUE(Ended) << "the run ended";
    EXPECT_TRUE(ListFileRemoved) << "the list's temporary file is gone";
  }
  // Nothing was written outside the installation.
  void ExpectNothingOutside() {
    std::vector<std::string> outside;
    for (const std::string& name : OuterTree()) {
      if (!name.starts_with("game/")) {
        outside.push_back(name);
      }
    }
    EXPECT_EQ(outside, (std::vector<std::string>{"beside", "beside/keep.txt", "game"}));
  }
};

TEST_F(HostileListTest, NoSpellingOfAPathLeavesTheInstallation) {
  // FileName, LocalPath: each spelling of a way out, as Windows or POSIX
  // would read it.
  const std::vector<std::pair<std::string, std::string>> ways{
      {"..\\evil.dll", ""},
      {"../evil.dll", ""},
      {"a\\..\\..\\evil.dll", ""},
      {"a/../..\\evil.dll", ""},
      {"evil.dll", ".."},
      {"evil.dll", "..\\..\\beside"},
      {"evil.dll", "sub/../../beside"},
      {"\\evil.dll", ""},
      {"/evil.dll", ""},
      {"evil.dll", "/tmp"},
      {"evil.dll", "\\\\server\\share"},
      {"\\\\?\\C:\\evil.dll", ""},
      {"C:evil.dll", ""},
      {"C:\\evil.dll", ""},
      {"evil.dll", "C:"},
      {"evil.dll:stream", ""},
      {"evil.dll", "... "},
      {"evil.dll", ". ."},
      {"evil.dll", ".. \\beside"},
      {"evil.dll", "sub\\.. "},
      {"..\u2215evil.dll", ""},  // a division slash is a character, not a separator
  };
  std::string list = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>";
  for (std::size_t i = 0; i < ways.size(); ++i) {
    list += "<File><FileName>" + ways[i].first + "</FileName><LocalPath>" + ways[i].second +
            "</LocalPath><URL>" + Server.Url("/evil/" + std::to_string(i)) +
            "</URL><Length>4</Length></File>";
    Server.Serve("/evil/" + std::to_string(i), "evil");
  }
  // The same trick in the URL only is no trick: the URL says where from,
  // not where to.
  list += "<File><FileName>fine.dat</FileName><URL>" + Server.Url("/a/%2e%2e/%2E%2E%2fx") +
          "</URL><Length>4</Length></File></UpdateList>";
  Server.Serve("/a/../..//x", "fine");
  Server.Serve("/a/../../x", "fine");
  Server.Serve("/x", "fine");
  Run(list);

  for (std::size_t i = 0; i + 1 < ways.size(); ++i) {
    EXPECT_EQ(Server.RequestCount("/evil/" + std::to_string(i)), 0u)
        << ways[i].first << " in " << ways[i].second;
  }
  // The one character that only looks like a slash names a file of its own.
  EXPECT_EQ(Server.RequestCount("/evil/" + std::to_string(ways.size() - 1)), 1u);
  EXPECT_EQ(test::ReadFile(Install / "..\u2215evil.dll"), "evil");
  EXPECT_EQ(test::ReadFile(Install / "fine.dat"), "fine");
  EXPECT_TRUE(Boxes.empty());
  EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
  fs::remove(Install / "..\u2215evil.dll");
  fs::remove(Install / "fine.dat");
  ExpectNothingOutside();
}

TEST_F(HostileListTest, NamesNoFileSystemTakes) {
  enum class Outcome {
    ListRefused,  // no well-formed document: the list-failure box, then the client
    Dropped,      // the entry is left out; the run goes on and starts the client
    Failed,       // fetched, then it cannot be put in place: the run ends on it
  };
  struct Case {
    std::string Name;
    std::string FileName;
    Outcome Expected;
  };
  std::string deep;
  for (int i = 0; i < 20; ++i) {
    deep += std::string(250, static_cast<char>('a' + i)) + "\\";
  }
  const std::vector<Case> cases{
      // XML itself has no room for most control characters.
      {"control character", "a\x01.dll", Outcome::ListRefused},
      {"escape sequence", "\x1b[2Jx.dll", Outcome::ListRefused},
      {"tab", "a&#9;b.dll", Outcome::Dropped},
      {"line feed", "a&#10;b.dll", Outcome::Dropped},
      // Fetched, as a side file with a shortened name; it cannot take its
      // own name.
      {"name past 255 bytes", std::string(300, 'n'), Outcome::Failed},
      {"folder past 255 bytes", std::string(300, 'f') + "\\x.dll", Outcome::Dropped},
      {"path past 4096 bytes", deep + "x.dll", Outcome::Dropped},
      {"a file where a folder must be", "blocker\\x.dll", Outcome::Failed},
  };
  test::WriteFile(Install / "blocker", "a file");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Server.Serve("/named", "data");
    const std::size_t before = Server.RequestCount("/named");
    Run("<UpdateList><File><FileName>" + c.FileName + "</FileName><URL>" + Server.Url("/named") +
        "</URL><Length>4</Length></File></UpdateList>");
    EXPECT_EQ(Server.RequestCount("/named") - before, c.Expected == Outcome::Failed ? 1u : 0u);
    switch (c.Expected) {
      case Outcome::ListRefused:
        EXPECT_EQ(Boxes, std::vector<std::string>{"取得服务器文件失败, 请选择其他服务器进行尝试"});
        EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
        break;
      case Outcome::Dropped:
        EXPECT_TRUE(Boxes.empty());
        EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
        break;
      case Outcome::Failed:
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_NE(Boxes[0].find("失败"), std::string::npos) << Boxes[0];
        EXPECT_TRUE(Desktop->Starts().empty());
        break;
    }
  }
  fs::remove(Install / "blocker");
  ExpectNothingOutside();
}

TEST_F(HostileListTest, HugeListsAndHugeTextStayBounded) {
  // 200,000 entries, every one of them up to date (listed older than the
  // file on disk): loaded, compared, nothing fetched.
  test::WriteFile(Install / "same.dat", "x");
  std::string many = "<UpdateList>";
  many.reserve(200000 * 120);
  for (int i = 0; i < 200000; ++i) {
    many += "<File><FileName>same.dat</FileName><URL>" + Server.Url("/same") +
            "</URL><Length>1</Length></File>";
  }
  many += "</UpdateList>";
  ASSERT_LT(many.size(), std::size_t{32} << 20);
  Run(many);
  EXPECT_EQ(Server.RequestCount("/same"), 0u);
  EXPECT_TRUE(Boxes.empty());
  EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
  const long peakMany = PeakMiB();

  // One text node of 30 MiB (under the list's bound) as a file name: the
  // entry names nothing any file system takes, and nothing is written.
  std::string text = "<UpdateList><File><FileName>" + std::string(30u << 20, 'x') +
                     "</FileName><URL>" + Server.Url("/text") + "</URL></File></UpdateList>";
  Server.Serve("/text", "t");
  Run(text);
  fs::remove(Install / "same.dat");
  ExpectNothingOutside();
  RecordProperty("peak_mib", std::to_string(std::max(peakMany, PeakMiB())));
  // The list is bounded at 32 MiB, and what the reader makes of it with it.
  // (The sanitizers keep shadow memory and freed memory aside, so their
  // peak says nothing about the program's.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(PeakMiB(), 1024) << "peak resident MiB";
#endif
}

TEST_F(HostileListTest, BytesThatLieAboutTheirEncoding) {
  struct Case {
    std::string Name;
    std::string Body;
  };
  const std::vector<Case> cases{
      {"UTF-8 declared, GBK bytes",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><UpdateList><File><FileName>\xd6\xd0.dll"
       "</FileName></File></UpdateList>"},
      {"UTF-16 declared, single bytes",
       "<?xml version=\"1.0\" encoding=\"UTF-16\"?><UpdateList><File><FileName>a.dll"
       "</FileName></File></UpdateList>"},
      {"unknown encoding",
       "<?xml version=\"1.0\" encoding=\"x-made-up\"?><UpdateList><File><FileName>a.dll"
       "</FileName></File></UpdateList>"},
      {"UTF-8 with a lone surrogate",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><UpdateList><File><FileName>\xed\xa0\x80.dll"
       "</FileName></File></UpdateList>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Run(c.Body);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0], "取得服务器文件失败, 请选择其他服务器进行尝试");
    EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
    ExpectNothingOutside();
  }
}

}  // namespace
}  // namespace varo
