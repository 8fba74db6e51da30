#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/InstallationLock.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;
using State = InstallationLock::State;

class PosixInstallationLockTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(Dir / "ADImage"); }

  fs::path LockFile() const { return InstallationLock::FileFor(Dir.Path()); }

  test::TempDir Dir;
};

// flock belongs to the open file, so a second lock in the same process is
// busy, whichever spelling of the installation's folder it is given.
TEST_F(PosixInstallationLockTest, OneHolderUntilItIsDestroyed) {
  fs::create_directory_symlink(Dir.Path(), Dir / "alias");
  std::optional<InstallationLock> first;
  first.emplace(Dir.Path());
  ASSERT_EQ(first->GetState(), State::Held) << first->Problem();
  EXPECT_EQ(first->Problem(), "");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(LockFile())));

  for (const fs::path& spelling : {Dir.Path(), Dir / "alias", Dir / "ADImage" / ".."}) {
    SCOPED_TRACE(spelling);
    const InstallationLock other(spelling);
    EXPECT_EQ(other.GetState(), State::Busy);
    EXPECT_EQ(other.Problem(), "");
  }
  // The busy ones went without taking the holder's lock with them.
  EXPECT_EQ(InstallationLock(Dir.Path()).GetState(), State::Busy);

  first.reset();
  EXPECT_EQ(InstallationLock(Dir.Path()).GetState(), State::Held);
}

TEST_F(PosixInstallationLockTest, AnotherProcessFindsItBusy) {
  const InstallationLock held(Dir.Path());
  ASSERT_EQ(held.GetState(), State::Held) << held.Problem();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const InstallationLock other(Dir.Path());
    ::_exit(other.GetState() == State::Busy ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process got the lock";
}

// Locking needs no write access to the lock file: a run that may only read
// it (another user than the one whose run made it) finds the lock busy,
// rather than updating beside the holder without a lock.
TEST_F(PosixInstallationLockTest, ALockFileThatCannotBeWrittenStillLocks) {
  const InstallationLock held(Dir.Path());
  ASSERT_EQ(held.GetState(), State::Held) << held.Problem();
  const auto readable = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(LockFile(), readable);
  fs::permissions(Dir.Path(),
                  readable | fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The superuser writes any file: the other run is nobody's.
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(2);
    }
    const InstallationLock other(Dir.Path());
    ::_exit(other.GetState() == State::Busy ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other run did not find the lock busy";
}

// A program started while the lock is held (as the client is at the end of
// a run) does not inherit it: once the run lets go, the next run can take
// it although the program still runs.
TEST_F(PosixInstallationLockTest, AStartedProgramDoesNotKeepIt) {
  std::optional<InstallationLock> held;
  held.emplace(Dir.Path());
  ASSERT_EQ(held->GetState(), State::Held) << held->Problem();

  // cat runs until its input is closed; it inherits every descriptor that
  // is not marked close-on-exec.
  int input[2];
  ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  char program[] = "/bin/cat";
  char* argv[] = {program, nullptr};
  pid_t child = 0;
  const int spawned = ::posix_spawn(&child, program, &actions, nullptr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ASSERT_EQ(spawned, 0);

  held.reset();
  EXPECT_EQ(InstallationLock(Dir.Path()).GetState(), State::Held);

  ::close(input[1]);
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
}

// Whatever stands in the way of a plain lock file makes the lock
// unavailable, and nothing is made or changed on the way: no folder, no
// link target, no lock on what a link names.
TEST_F(PosixInstallationLockTest, UnavailableWhenTheLockFileCannotBeMade) {
  test::TempDir outside;
  const fs::path target = outside / "target";
  const fs::path absent = outside / "absent";
  const struct {
    const char* What;
    std::function<void()> Prepare;
    const char* Reason;
  } cases[] = {
      {"no ADImage folder", [&] { fs::remove(Dir / "ADImage"); }, "No such file or directory"},
      {"ADImage is a file",
       [&] {
         fs::remove(Dir / "ADImage");
         test::WriteFile(Dir / "ADImage", "a file");
       },
       "Not a directory"},
      {"a folder at the lock's name", [&] { fs::create_directory(LockFile()); }, "Is a directory"},
      {"a link to a file elsewhere",
       [&] {
         test::WriteFile(target, "someone else's");
         fs::create_symlink(target, LockFile());
       },
       "symbolic link"},
      {"a link to nothing", [&] { fs::create_symlink(absent, LockFile()); }, "symbolic link"},
      {"a FIFO at the lock's name", [&] { ASSERT_EQ(::mkfifo(LockFile().c_str(), 0644), 0); },
       "not a plain file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove_all(Dir / "ADImage");
    fs::create_directory(Dir / "ADImage");
    c.Prepare();
    const auto before = fs::symlink_status(LockFile()).type();

    const InstallationLock lock(Dir.Path());
    EXPECT_EQ(lock.GetState(), State::Unavailable);
    EXPECT_NE(lock.Problem().find(LockFile().string()), std::string::npos) << lock.Problem();
    EXPECT_NE(lock.Problem().find(c.Reason), std::string::npos) << lock.Problem();

    EXPECT_EQ(fs::symlink_status(LockFile()).type(), before);
    EXPECT_FALSE(fs::exists(absent));
    if (fs::exists(target)) {
      EXPECT_EQ(test::ReadFile(target), "someone else's");
      const int descriptor = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
      EXPECT_EQ(::flock(descriptor, LOCK_EX | LOCK_NB), 0) << "the link's target was locked";
      ::close(descriptor);
      fs::remove(target);
    }
  }
}

TEST_F(PosixInstallationLockTest, UnavailableInAReadOnlyInstallation) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "the superuser writes into read-only folders";
  }
  fs::permissions(Dir / "ADImage", fs::perms::owner_write, fs::perm_options::remove);
  const InstallationLock lock(Dir.Path());
  EXPECT_EQ(lock.GetState(), State::Unavailable);
  EXPECT_NE(lock.Problem().find("Permission denied"), std::string::npos) << lock.Problem();
  EXPECT_FALSE(fs::exists(LockFile()));
}

}  // namespace
}  // namespace varo::platform
