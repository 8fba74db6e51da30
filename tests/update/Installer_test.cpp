#include "update/Installer.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "platform/headless/HeadlessDesktop.h"
#include "support/TempDir.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

class InstallerTest : public ::testing::Test {
 protected:
  InstallOutcome Install(const fs::path& target, bool execute = false,
                         const std::string& parameters = "", bool registerServer = false) {
    return InstallDownloadedFile(Desktop, DownloadedFileOf(target), target, execute, parameters,
                                 registerServer);
  }
  test::TempDir Dir;
  platform::HeadlessDesktop Desktop;
};

TEST_F(InstallerTest, ReplacesAWritableTargetAndLeavesNoSideFile) {
  const fs::path target = Dir / "core.dll";
  test::WriteFile(target, "old");
  test::WriteFile(DownloadedFileOf(target), "new");
  EXPECT_EQ(Install(target), InstallOutcome::Installed);
  EXPECT_EQ(test::ReadFile(target), "new");
  EXPECT_FALSE(fs::exists(Dir / "core.dll.update"));
  EXPECT_TRUE(Desktop.Starts().empty());
}

TEST_F(InstallerTest, AbsentTargetTakesTheNewFile) {
  const fs::path target = Dir / "sub" / "new.dat";
  test::WriteFile(DownloadedFileOf(target), "fresh");
  EXPECT_EQ(Install(target), InstallOutcome::Installed);
  EXPECT_EQ(test::ReadFile(target), "fresh");
}

TEST_F(InstallerTest, ReadOnlyOrUnreadableTargetIsLeftAloneWithItsSideFile) {
  const fs::path readOnly = Dir / "ro.dll";
  test::WriteFile(readOnly, "old");
  test::WriteFile(DownloadedFileOf(readOnly), "new");
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  const fs::path folder = Dir / "folder.dll";  // cannot be opened for reading as a file
  fs::create_directory(folder);
  test::WriteFile(folder / "inside", "kept");
  test::WriteFile(DownloadedFileOf(folder), "new");

  for (const fs::path& target : {readOnly, folder}) {
    SCOPED_TRACE(target.string());
    EXPECT_EQ(Install(target, true, "", true), InstallOutcome::TargetLocked);
    EXPECT_EQ(test::ReadFile(DownloadedFileOf(target)), "new");
  }
  EXPECT_EQ(test::ReadFile(readOnly), "old");
  EXPECT_EQ(test::ReadFile(folder / "inside"), "kept");
  EXPECT_TRUE(Desktop.Starts().empty()) << "nothing is started for a file left alone";
}

TEST_F(InstallerTest, MissingSideFileKeepsTheOldFileWhole) {
  const fs::path target = Dir / "a.dll";
  test::WriteFile(target, "old");
  EXPECT_EQ(Install(target, true), InstallOutcome::MoveFailed);
  EXPECT_EQ(test::ReadFile(target), "old");
  EXPECT_TRUE(Desktop.Starts().empty());
}

#ifndef _WIN32
// Permission bits are POSIX's; Windows files have none to keep.
TEST_F(InstallerTest, PermissionsOfTheInstalledFile) {
  struct Case {
    std::string Name;
    int OldMode;  // -1: no old file
    bool Execute;
    unsigned Expected;
  };
  const std::vector<Case> cases{
      {"new data", -1, false, 0644},           {"new program", -1, true, 0755},
      {"replaced program", 0755, false, 0755}, {"replaced private", 0600, true, 0600},
      {"replaced group", 0750, false, 0750},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path target = Dir / (c.Name + ".bin");
    if (c.OldMode >= 0) {
      test::WriteFile(target, "old");
      ::chmod(target.c_str(), static_cast<mode_t>(c.OldMode));
    }
    test::WriteFile(DownloadedFileOf(target), "new");
    ::chmod(DownloadedFileOf(target).c_str(), 0600);
    EXPECT_EQ(Install(target, c.Execute), InstallOutcome::Installed);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.Expected);
    EXPECT_EQ(test::ReadFile(target), "new");
  }
}
#endif

TEST_F(InstallerTest, StartsThenRegistersWithTheQuotedPath) {
  const fs::path target = Dir / "Program Files" / "Game" / "x.dll";
  struct Case {
    bool Execute;
    std::string Parameters;
    bool Register;
    std::vector<platform::StartRequest> Expected;
  };
  const std::string path = target.string();
  const std::vector<Case> cases{
      {false, "", false, {}},
      {true, "", false, {{path, "", ""}}},
      {true, "-silent 2", false, {{path, "-silent 2", ""}}},
      {false, "", true, {{"regsvr32", "/s \"" + path + "\"", "", true}}},
      {true, "-q", true, {{path, "-q", ""}, {"regsvr32", "/s \"" + path + "\"", "", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Parameters + (c.Execute ? " execute" : "") + (c.Register ? " register" : ""));
    Desktop.Events.clear();
    test::WriteFile(DownloadedFileOf(target), "new");
    EXPECT_EQ(Install(target, c.Execute, c.Parameters, c.Register), InstallOutcome::Installed);
    EXPECT_EQ(Desktop.Starts(), c.Expected);
  }
}

}  // namespace
}  // namespace varo
