#include "platform/headless/HeadlessDesktop.h"

#include <gtest/gtest.h>

#include <vector>

namespace varo::platform {
namespace {

// The starts a run made, as the tests compare them: every field of each
// request, in order, the same program once as a system program and once
// not.
TEST(HeadlessDesktopTest, RecordsEveryStartWhole) {
  const std::vector<StartRequest> requests = {
      {"regsvr32", "/s \"a.dll\"", "", true},
      {"regsvr32", "/s \"a.dll\"", "", false},
      {"Tandrel.exe", "", "open"},
  };
  HeadlessDesktop desktop;
  for (const StartRequest& request : requests) {
    desktop.Start(request);
  }
  EXPECT_EQ(desktop.Starts(), requests);
}

}  // namespace
}  // namespace varo::platform
