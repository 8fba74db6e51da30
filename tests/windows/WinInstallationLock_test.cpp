#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Links.h"
#include "common/Utf8Path.h"
#include "platform/InstallationLock.h"
#include "support/TempDir.h"

namespace varo::platform {
namespace {

namespace fs = std::filesystem;
using State = InstallationLock::State;

// What stands at a name, the name itself (a link is not followed).
enum class Kind { Missing, File, Folder, Link };

Kind KindAt(const fs::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Kind::Missing;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Kind::Link;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::Folder : Kind::File;
}

// True when the file can be opened with nobody else sharing it: nobody else
// holds it open.
bool OpensExclusively(const fs::path& file) {
  const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  ::CloseHandle(handle);
  return true;
}

// Run as a probe (the variable names an installation folder), this program
// takes the installation's lock before any test runs and ends with its
// state, after kProbeCode, as exit code (apart from the codes of a test
// run), without releasing the lock in any other way.
constexpr const wchar_t* kProbeVariable = L"VARO_LOCK_PROBE";
constexpr UINT kProbeCode = 100;

[[maybe_unused]] const bool kNoProbe = [] {
  std::wstring folder(32768, L'\0');
  const DWORD length =
      ::GetEnvironmentVariableW(kProbeVariable, folder.data(), static_cast<DWORD>(folder.size()));
  if (length == 0 || length >= folder.size()) {
    return true;
  }
  folder.resize(length);
  const InstallationLock lock{fs::path(folder)};
  ::ExitProcess(kProbeCode + static_cast<UINT>(lock.GetState()));
}();

// The state another process finds the installation's lock in.
std::optional<State> StateInAnotherProcess(const fs::path& folder) {
  wchar_t self[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH ||
      !::SetEnvironmentVariableW(kProbeVariable, folder.c_str())) {
    return std::nullopt;
  }
  std::wstring line = L"probe";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  const bool started = ::CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &child);
  ::SetEnvironmentVariableW(kProbeVariable, nullptr);
  if (!started) {
    return std::nullopt;
  }
  DWORD code = STILL_ACTIVE;
  const bool ended = ::WaitForSingleObject(child.hProcess, 60'000) == WAIT_OBJECT_0 &&
                     ::GetExitCodeProcess(child.hProcess, &code);
  ::CloseHandle(child.hThread);
  ::CloseHandle(child.hProcess);
  if (!ended || code < kProbeCode || code > kProbeCode + static_cast<DWORD>(State::Unavailable)) {
    return std::nullopt;
  }
  return static_cast<State>(code - kProbeCode);
}

class WinInstallationLockTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(Dir / "ADImage"); }

  fs::path LockFile() const { return InstallationLock::FileFor(Dir.Path()); }

  test::TempDir Dir;
};

// The lock is the open file itself, so a second one in the same process is
// busy, whichever spelling of the installation's folder it is given.
TEST_F(WinInstallationLockTest, OneHolderUntilItIsDestroyed) {
  std::optional<InstallationLock> first;
  first.emplace(Dir.Path());
  ASSERT_EQ(first->GetState(), State::Held) << first->Problem();
  EXPECT_EQ(first->Problem(), "");
  EXPECT_EQ(KindAt(LockFile()), Kind::File);
  EXPECT_FALSE(OpensExclusively(LockFile()));

  const fs::path upper = PathFromUtf8([&] {
    std::string text = PathToUtf8(Dir.Path());
    for (char& c : text) {
      c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    return text;
  }());
  for (const fs::path& spelling : {Dir.Path(), Dir / "ADImage" / "..", upper}) {
    SCOPED_TRACE(spelling.string());
    const InstallationLock other(spelling);
    EXPECT_EQ(other.GetState(), State::Busy);
    EXPECT_EQ(other.Problem(), "");
  }
  // The busy ones went without taking the holder's lock with them.
  EXPECT_EQ(InstallationLock(Dir.Path()).GetState(), State::Busy);

  first.reset();
  EXPECT_TRUE(OpensExclusively(LockFile())) << "the lock file is still held";
  EXPECT_EQ(KindAt(LockFile()), Kind::File) << "the lock file stays in place";
  EXPECT_EQ(InstallationLock(Dir.Path()).GetState(), State::Held);
}

TEST_F(WinInstallationLockTest, AnotherProcessFindsItBusyUntilItIsReleased) {
  std::optional<InstallationLock> held;
  held.emplace(Dir.Path());
  ASSERT_EQ(held->GetState(), State::Held) << held->Problem();
  EXPECT_EQ(StateInAnotherProcess(Dir.Path()), State::Busy);
  held.reset();
  EXPECT_EQ(StateInAnotherProcess(Dir.Path()), State::Held);
  EXPECT_EQ(InstallationLock(Dir.Path()).GetState(), State::Held)
      << "the other process's lock went with it";
}

// A program started while the lock is held (as the client is at the end of
// a run) does not inherit it: once the run lets go, the next run can take
// it although the program still runs and inherits every handle that may be
// inherited.
TEST_F(WinInstallationLockTest, AStartedProgramDoesNotKeepIt) {
  std::optional<InstallationLock> held;
  held.emplace(Dir.Path());
  ASSERT_EQ(held->GetState(), State::Held) << held->Problem();

  // cmd reads commands from its input until it is closed.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE input = nullptr;
  HANDLE feed = nullptr;
  ASSERT_TRUE(::CreatePipe(&input, &feed, &inheritable, 0));
  ASSERT_TRUE(::SetHandleInformation(feed, HANDLE_FLAG_INHERIT, 0));
  const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(nul, INVALID_HANDLE_VALUE);
  wchar_t system[MAX_PATH] = {};
  ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::wstring program = std::wstring(system) + L"\\cmd.exe";
  std::wstring line = L"cmd.exe /q";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  PROCESS_INFORMATION child{};
  const bool started = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child);
  ::CloseHandle(input);
  ::CloseHandle(nul);
  ASSERT_TRUE(started) << ::GetLastError();

  held.reset();
  EXPECT_EQ(::WaitForSingleObject(child.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the program ended early";
  EXPECT_EQ(InstallationLock(Dir.Path()).GetState(), State::Held);

  ::CloseHandle(feed);
  EXPECT_EQ(::WaitForSingleObject(child.hProcess, 60'000), static_cast<DWORD>(WAIT_OBJECT_0));
  ::CloseHandle(child.hThread);
  ::CloseHandle(child.hProcess);
}

TEST_F(WinInstallationLockTest, AnExistingLockFileIsTakenAsItIs) {
  test::WriteFile(LockFile(), "left by an earlier run");
  {
    const InstallationLock lock(Dir.Path());
    EXPECT_EQ(lock.GetState(), State::Held) << lock.Problem();
  }
  EXPECT_EQ(test::ReadFile(LockFile()), "left by an earlier run");
}

// Whatever stands in the way of a plain lock file makes the lock
// unavailable, and nothing is made or changed on the way.
TEST_F(WinInstallationLockTest, UnavailableWhenTheLockFileCannotBeMade) {
  const struct {
    const char* What;
    std::function<void()> Prepare;
    const char* Reason;
  } cases[] = {
      {"no ADImage folder", [&] { fs::remove(Dir / "ADImage"); }, "(error 3)"},
      {"ADImage is a file",
       [&] {
         fs::remove(Dir / "ADImage");
         test::WriteFile(Dir / "ADImage", "a file");
       },
       "(error 3)"},
      {"a folder at the lock's name", [&] { fs::create_directory(LockFile()); }, "is a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove_all(Dir / "ADImage");
    fs::create_directory(Dir / "ADImage");
    c.Prepare();
    const Kind before = KindAt(LockFile());

    const InstallationLock lock(Dir.Path());
    EXPECT_EQ(lock.GetState(), State::Unavailable);
    EXPECT_NE(lock.Problem().find(PathToUtf8(LockFile())), std::string::npos) << lock.Problem();
    EXPECT_NE(lock.Problem().find(c.Reason), std::string::npos) << lock.Problem();
    EXPECT_EQ(KindAt(LockFile()), before);
  }
}

TEST_F(WinInstallationLockTest, UnavailableWhenTheLockFileIsReadOnly) {
  if (test::RunningUnderWine()) {
    GTEST_SKIP() << "Wine 8 run as root (as here) opens a file whose read-only attribute is "
                    "set for writing";
  }
  test::WriteFile(LockFile(), "");
  ASSERT_TRUE(::SetFileAttributesW(LockFile().c_str(), FILE_ATTRIBUTE_READONLY));
  const InstallationLock lock(Dir.Path());
  EXPECT_EQ(lock.GetState(), State::Unavailable);
  EXPECT_NE(lock.Problem().find("(error 5)"), std::string::npos) << lock.Problem();
}

// A link at the lock's name is neither followed nor replaced: what it names
// is not made, not locked and not changed.
TEST_F(WinInstallationLockTest, ALinkAtTheLockNameIsNotFollowed) {
  const test::TempDir outside;
  const fs::path target = outside / "target";
  test::WriteFile(target, "someone else's");
  const fs::path absent = outside / "absent";
  for (const fs::path& named : {target, absent}) {
    SCOPED_TRACE(named.string());
    fs::remove(LockFile());
    if (!test::MakeSymbolicLink(LockFile(), named, false)) {
      GTEST_SKIP() << test::kNoLinks;
    }
    const InstallationLock lock(Dir.Path());
    EXPECT_EQ(lock.GetState(), State::Unavailable);
    EXPECT_NE(lock.Problem().find("link"), std::string::npos) << lock.Problem();
    EXPECT_EQ(KindAt(LockFile()), Kind::Link);
    EXPECT_FALSE(fs::exists(absent));
    EXPECT_EQ(test::ReadFile(target), "someone else's");
    EXPECT_TRUE(OpensExclusively(target)) << "the link's target was locked";
  }
}

}  // namespace
}  // namespace varo::platform
