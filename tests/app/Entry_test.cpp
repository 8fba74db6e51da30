#include "app/Entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/InstallationLock.h"
#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace varo {
namespace {

using LockState = platform::InstallationLock::State;

// An installation whose update list names one file, bin/core.dll.
class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server.Serve("/Download/Update.xml",
                 "<UpdateList><File><FileName>core.dll</FileName><LocalPath>bin</LocalPath>"
                 "<Length>4</Length><URL>" +
                     Server.Url("/core.dll") + "</URL></File></UpdateList>");
    Server.Serve("/core.dll", "core");
    test::WriteFile(Install / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\nserver1=" + Server.Url("/Download/Update.xml") + "\n");
  }

  // Every entry of the installation, with the content of its files.
  std::map<std::filesystem::path, std::string> Contents() const {
    std::map<std::filesystem::path, std::string> contents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Install.Path())) {
#ifdef _WIN32
      // Windows keeps others from reading a held lock file: its size stands
      // for its content.
      if (entry.path() == platform::InstallationLock::FileFor(Install.Path())) {
        contents[entry.path()] = "size " + std::to_string(entry.file_size());
        continue;
      }
#endif
      contents[entry.path()] = entry.is_regular_file() ? test::ReadFile(entry.path()) : "/";
    }
    return contents;
  }

  test::TempDir Install;
  test::TestHttpServer Server;
};

// A shell that looks at the installation's lock whenever the run starts a
// program, and otherwise is the headless desktop's.
class LockProbingShell final : public platform::Shell {
 public:
  LockProbingShell(platform::HeadlessDesktop& desktop, std::filesystem::path install)
      : Desktop(desktop), Install(std::move(install)) {}

  void Start(const platform::StartRequest& request) override {
    LockStates.push_back(platform::InstallationLock(Install).GetState());
    Desktop.Start(request);
  }
  platform::IconHandle LoadIcon(const std::filesystem::path& file) override {
    return Desktop.LoadIcon(file);
  }
  void DestroyIcon(platform::IconHandle icon) override { Desktop.DestroyIcon(icon); }
  bool NotifyIcon(platform::TrayAction action, const platform::TrayData& data) override {
    return Desktop.NotifyIcon(action, data);
  }
  std::int32_t ClockMs() override { return Desktop.ClockMs(); }

  std::vector<LockState> LockStates;

 private:
  platform::HeadlessDesktop& Desktop;
  const std::filesystem::path Install;
};

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The program's whole run on the headless desktop's real loop: a 200 ms
// tick and the jobs' posted messages, until the window closes.
TEST_F(EntryTest, RunsAWholeUpdateAndReturnsZero) {
  platform::HeadlessDesktop desktop;
  EXPECT_EQ(RunUpdater(desktop, desktop, Install.Path()), 0);

  EXPECT_TRUE(desktop.IsDestroyed());
  EXPECT_EQ(test::ReadFile(Install / "bin" / "core.dll"), "core");
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

// The lock is held from before the window until the run is over: the
// client, started at the very end, finds it taken; the next run finds it
// free.
TEST_F(EntryTest, HoldsTheInstallationLockForTheWholeRun) {
  platform::HeadlessDesktop desktop;
  LockProbingShell shell(desktop, Install.Path());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunUpdater(desktop, shell, Install.Path()), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  EXPECT_EQ(test::ReadFile(Install / "bin" / "core.dll"), "core");
  EXPECT_EQ(shell.LockStates, std::vector<LockState>{LockState::Busy});
  EXPECT_EQ(platform::InstallationLock(Install.Path()).GetState(), LockState::Held);
}

// While another run holds the lock, this one returns at once: no window,
// no request, no file touched, no program started; one line says why.
TEST_F(EntryTest, ASecondRunLeavesTheInstallationAlone) {
  const platform::InstallationLock first(Install.Path());
  ASSERT_EQ(first.GetState(), LockState::Held) << first.Problem();
  const auto before = Contents();

  platform::HeadlessDesktop desktop;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunUpdater(desktop, desktop, Install.Path()), 0);
  const std::string said = ::testing::internal::GetCapturedStderr();

  EXPECT_TRUE(desktop.Events.empty()) << desktop.Events.front().Kind;
  EXPECT_FALSE(desktop.Created());
  EXPECT_FALSE(desktop.IsDestroyed());
  EXPECT_TRUE(Server.Requests().empty());
  EXPECT_EQ(Contents(), before);
  EXPECT_EQ(Lines(said), 1u) << said;
  EXPECT_NE(said.find("another run"), std::string::npos) << said;
}

// A lock that cannot be taken does not stop the update; one line names the
// lock file and says that the run goes on without it.
TEST_F(EntryTest, RunsWithoutTheLockWhenItCannotBeTaken) {
  const auto lockFile = platform::InstallationLock::FileFor(Install.Path());
  std::filesystem::create_directory(lockFile);

  platform::HeadlessDesktop desktop;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunUpdater(desktop, desktop, Install.Path()), 0);
  const std::string said = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(test::ReadFile(Install / "bin" / "core.dll"), "core");
  EXPECT_EQ(desktop.Starts(), (std::vector<platform::StartRequest>{{"Tandrel.exe", "", "open"}}));
  EXPECT_EQ(Lines(said), 1u) << said;
  EXPECT_NE(said.find(lockFile.string()), std::string::npos) << said;
  EXPECT_NE(said.find("without the lock"), std::string::npos) << said;
}

TEST(ParseArgumentsTest, VerifyIsAskedForByItsFlagOnly) {
  const struct {
    std::vector<std::string> Arguments;
    bool Verify;
  } cases[]{
      {{}, false},
      {{"--verify"}, true},
      {{"--sync", "--verify", "extra"}, true},
      {{"--verify=yes"}, false},
      {{"-verify"}, false},
      {{"--VERIFY"}, false},
      {{"verify"}, false},
      {{" --verify"}, false},
#ifdef _WIN32
      {{"/verify"}, true},
      {{"/VERIFY"}, true},
      {{"/Verify"}, true},
#else
      {{"/verify"}, false},
#endif
      {{"/verify:yes"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Arguments));
    EXPECT_EQ(ParseArguments(c.Arguments).VerifyFiles, c.Verify);
  }
}

}  // namespace
}  // namespace varo
