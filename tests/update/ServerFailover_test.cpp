// The second server of the configuration: asked for the update list when
// the first cannot give one, with the same texts; the error box only once
// every configured server has failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/WholeRun.h"

namespace varo {
namespace {

using platform::StartRequest;
const StartRequest kClient{"Tandrel.exe", "", "open"};

class ServerFailoverTest : public ::testing::Test, protected test::WholeRun {
 protected:
  void Configure(const std::string& servers) {
    test::WriteFile(Install / "ADImage" / "xxxxx_system.ini", "[UpdateServer]\n" + servers);
  }
  std::string List() {
    Server.Serve("/f", "new");
    return "<UpdateList><File><FileName>f.dat</FileName><FileDateHigh>2000000000</"
           "FileDateHigh><URL>" +
           Server.Url("/f") + "</URL><Length>3</Length></File></UpdateList>";
  }
  // A URL on which nothing listens any more.
  static std::string Refused() {
    const test::TestHttpServer gone;
    return gone.Url("/Download/Update.xml");
  }
};

TEST_F(ServerFailoverTest, TheSecondServerGivesTheListWhenTheFirstCannot) {
  test::TestHttpServer first;
  first.Serve("/html", "<html><body><p>502 Bad Gateway</body></html>", 200, "text/html");
  const std::string firsts[] = {Refused(), first.Url("/missing.xml"), first.Url("/html")};
  for (const std::string& url : firsts) {
    SCOPED_TRACE(url);
    test::WriteFile(Install / "f.dat", "old");
    Configure("server1=" + url + "\nserver2=" + Server.Url(kListPath) + "\n");
    WholeRun::Run(List());
    EXPECT_TRUE(Ended);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(test::ReadFile(Install / "f.dat"), "new");
    std::vector<std::string> texts = Desktop->TextsOf("progresslable");
    texts.resize(std::min<std::size_t>(texts.size(), 4));
    EXPECT_EQ(texts, (std::vector<std::string>{"正在连接获取服务器列表", "正在连接：更新服务器1",
                                               "正在连接：更新服务器2",
                                               "获取更新文件列表成功：更新服务器2"}));
    EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient});
  }
}

TEST_F(ServerFailoverTest, TheBoxComesOnceEveryConfiguredServerFailed) {
  struct Case {
    std::string Name;
    std::string Servers;
    std::vector<std::string> Connecting;  // the servers asked, in order
    std::string Box;                      // the last one's failure
  };
  const std::string missing = Server.Url("/missing.xml");
  const std::vector<Case> cases{
      {"both fail",
       "server1=" + missing + "\nserver2=" + Refused() + "\n",
       {"正在连接：更新服务器1", "正在连接：更新服务器2"},
       "连接服务器失败, 请检查网络或联系管理员"},
      {"no second server",
       "server1=" + missing + "\n",
       {"正在连接：更新服务器1"},
       "取得服务器文件失败, 请选择其他服务器进行尝试"},
      {"an empty second server",
       "server1=" + missing + "\nserver2=\n",
       {"正在连接：更新服务器1"},
       "取得服务器文件失败, 请选择其他服务器进行尝试"},
      {"the same server twice",
       "server1=" + missing + "\nserver2=" + missing + "\n",
       {"正在连接：更新服务器1"},
       "取得服务器文件失败, 请选择其他服务器进行尝试"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Configure(c.Servers);
    const std::size_t before = Server.RequestCount("/missing.xml");
    WholeRun::Run(List());
    EXPECT_TRUE(Ended);
    EXPECT_TRUE(ListFileRemoved);
    EXPECT_EQ(Boxes, std::vector<std::string>{c.Box});
    std::vector<std::string> connecting;
    for (const std::string& text : Desktop->TextsOf("progresslable")) {
      if (text.starts_with("正在连接：")) {
        connecting.push_back(text);
      }
    }
    EXPECT_EQ(connecting, c.Connecting);
    EXPECT_EQ(Server.RequestCount("/missing.xml") - before,
              c.Name == "both fail" || c.Connecting.size() == 1 ? 1u : 2u);
    EXPECT_EQ(Server.RequestCount("/f"), 0u);
    EXPECT_EQ(Desktop->Starts(), std::vector<StartRequest>{kClient}) << "started once";
  }
}

}  // namespace
}  // namespace varo
