// The real VaroUpdate.exe updates a sample installation over a local server
// and starts the client, as a player would see it.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "WineHost.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

std::string Bytes(std::size_t size, char seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<char>(seed + static_cast<char>(i % 251));
  }
  return data;
}

std::string Entry(const std::string& name, const std::string& localPath, std::size_t length,
                  const std::string& url, const std::string& more = {}) {
  return "<File><FileName>" + name + "</FileName><LocalPath>" + localPath + "</LocalPath><Length>" +
         std::to_string(length) + "</Length><URL>" + url + "</URL>" + more + "</File>";
}

// Runs the program in its folder and waits for it; its exit code, or -1
// when it did not end within the time.
int RunProgram(const fs::path& program, DWORD milliseconds) {
  std::wstring commandLine = L"\"" + program.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        program.parent_path().c_str(), &startup, &process)) {
    return -2;
  }
  ::CloseHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(process.hProcess, milliseconds) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(process.hProcess, &code);
  } else {
    ::TerminateProcess(process.hProcess, 99);
  }
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

TEST(VaroUpdateExeTest, UpdatesAnInstallationAndStartsTheClient) {
  wchar_t display[64];
  if (test::RunningUnderWine() && ::GetEnvironmentVariableW(L"DISPLAY", display, 64) == 0) {
    GTEST_SKIP() << "no X display for Wine: run with DISPLAY set (e.g. Xvfb :77, DISPLAY=:77)";
  }
  // With the default configuration, and with every job started at once
  // (the list while the window is being created).
  for (const std::string extra : {"", "[Update]\r\nStartNextAtOnce=1\r\n"}) {
    SCOPED_TRACE(extra.empty() ? "default" : "StartNextAtOnce=1");
    const test::TempDir install;
    const fs::path built = test::HostPath(VARO_PROGRAM_DIR);
    fs::copy_file(built / "VaroUpdate.exe", install / "VaroUpdate.exe");
    fs::copy(built / "ADImage", install / "ADImage", fs::copy_options::recursive);
    fs::copy_file(test::HostPath(VARO_CLIENT_STAND_IN), install / "Tandrel.exe");

    test::TestHttpServer server;
    const std::string nested = Bytes(300 * 1024, 'a');
    const std::string top = Bytes(5000, 'b');
    test::WriteFile(install / "readme.txt", "old text");
    server.Serve("/files/maps/world.dat", nested);
    server.Serve("/files/readme.txt", top);
    server.Serve(
        "/Download/Update.xml",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><UpdateList>" +
            Entry("world.dat", "data\\maps", nested.size(), server.Url("/files/maps/world.dat")) +
            Entry("readme.txt", "", top.size(), server.Url("/files/readme.txt"),
                  "<FileVersion>2</FileVersion>") +
            "</UpdateList>",
        200, "text/xml");
    test::WriteFile(
        install / "ADImage" / "xxxxx_system.ini",
        "[UpdateServer]\r\nserver1=" + server.Url("/Download/Update.xml") + "\r\n" + extra);

    EXPECT_EQ(RunProgram(install / "VaroUpdate.exe", 60'000), 0);
    EXPECT_EQ(test::ReadFile(install / "data" / "maps" / "world.dat"), nested);
    EXPECT_EQ(test::ReadFile(install / "readme.txt"), top);
    EXPECT_FALSE(fs::exists(install / "readme.txt.update"));
    // The client is started without waiting for it: give it a moment.
    for (int i = 0; i < 100 && !fs::exists(install / "client-started.log"); ++i) {
      ::Sleep(100);
    }
    EXPECT_EQ(test::ReadFile(install / "client-started.log"), "started\n");
    EXPECT_EQ(server.RequestCount("/Download/Update.xml"), 1u);
  }
}

}  // namespace
}  // namespace varo
