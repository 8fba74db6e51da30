#include "app/Entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace varo {
namespace {

// The program's whole run on the headless desktop's real loop: a 200 ms
// tick and the jobs' posted messages, until the window closes.
TEST(EntryTest, RunsAWholeUpdateAndReturnsZero) {
  test::TempDir install;
  test::TestHttpServer server;
  server.Serve("/Download/Update.xml",
               "<UpdateList><File><FileName>core.dll</FileName><LocalPath>bin</LocalPath>"
               "<Length>4</Length><URL>" +
                   server.Url("/core.dll") + "</URL></File></UpdateList>");
  server.Serve("/core.dll", "core");
  test::WriteFile(install / "ADImage" / "xxxxx_system.ini",
                  "[UpdateServer]\nserver1=" + server.Url("/Download/Update.xml") + "\n");

  platform::HeadlessDesktop desktop;
  EXPECT_EQ(RunUpdater(desktop, desktop, install.Path()), 0);

  EXPECT_TRUE(desktop.IsDestroyed());
  EXPECT_EQ(test::ReadFile(install / "bin" / "core.dll"), "core");
  EXPECT_EQ(desktop.Starts(), (std::vector<platform::StartRequest>{{"Tandrel.exe", "", "open"}}));
  std::vector<std::string> order;
  for (const auto& e : desktop.Events) {
    if (e.Kind == "create" || e.Kind == "center" || e.Kind == "show" || e.Kind == "destroy") {
      order.push_back(e.Kind + (e.Kind == "show" ? std::to_string(e.Value) : ""));
    }
  }
  // Hidden while the tray icon is added, centred, shown by the modal run.
  EXPECT_EQ(order, (std::vector<std::string>{"create", "show0", "center", "show1", "destroy"}));
}

}  // namespace
}  // namespace varo
