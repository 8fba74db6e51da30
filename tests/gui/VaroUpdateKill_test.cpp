// The real program killed (SIGKILL) at many points of a run that updates
// many files: while the list comes, in the middle of a file, between files,
// while files are put in place. After every kill each target holds its old
// or its new content, whole, nothing but ".update" files lies beside them,
// and the next run completes the update.
#include <gtest/gtest.h>

#if defined(VARO_GUI_TESTS) && defined(VARO_UPDATE_PROGRAM)

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/GtkEnvironment.h"
#include "support/SampleInstallation.h"
#include "support/Subprocess.h"
#include "support/TestHttpServer.h"
#include "transfer/ResumeRecord.h"

namespace varo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using gui_test::Bytes;
using gui_test::Installation;

const auto* const kDisplay = ::testing::AddGlobalTestEnvironment(new gui_test::GtkEnvironment);

// One listed file: its old content (empty: not installed yet) and its new.
struct Listed {
  std::string Name;
  std::string Folder;  // with backslashes, as the list writes it
  std::string Old;
  std::string New;
  fs::path Relative() const {
    std::string path = Folder;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path.empty() ? fs::path(Name) : fs::path(path) / Name;
  }
};

std::vector<Listed> Files() {
  std::vector<Listed> files;
  for (int i = 0; i < 8; ++i) {
    const std::size_t size = i % 4 == 3 ? 1024 * 1024 : 32 * 1024 + i;
    files.push_back({"file" + std::to_string(i) + ".dat", i % 2 ? "data\\sub" : "",
                     i < 6 ? "old content " + std::to_string(i) : "",
                     Bytes(size, static_cast<char>('a' + i))});
  }
  return files;
}

// Where the program is stopped: by a request the server sees, or after a
// time from its start.
struct KillPoint {
  std::string Name;
  std::string AwaitRequest;  // kill once this path was asked for (and stalls)
  std::chrono::milliseconds After{0};
  // Also wait for the stalled file's resume record, and check that the next
  // run asks only for the rest of it.
  bool AwaitRecord = false;
};

void PrintTo(const KillPoint& point, std::ostream* out) {
  *out << point.Name;
}

class VaroUpdateKillTest : public ::testing::TestWithParam<KillPoint> {
 protected:
  void SetUp() override { ASSERT_TRUE(gui_test::GtkEnvironment::Ready()) << "no virtual display"; }

  // Serves the list and the files; the stalled path answers only after
  // Release(), the ranged one honours ranges with the stalled answer's
  // ETag. Files come at about 3 MiB/s, so a run lasts a few seconds.
  static void Serve(test::TestHttpServer& server, const std::vector<Listed>& files,
                    const std::string& stalled, const std::string& ranged = {}) {
    std::string list = "<?xml version=\"1.0\" encoding=\"utf-8\"?><UpdateList>";
    for (const Listed& file : files) {
      const std::string path = "/files/" + file.Name;
      list += gui_test::Entry(file.Name, file.Folder, file.New.size(), server.Url(path));
      if (path == stalled) {
        server.StallAfter(path, file.New, file.New.size() / 2);
      } else if (path == ranged) {
        server.ServeRanged(path, file.New, test::TestHttpServer::kStalledETag, "");
      } else {
        server.Drip(path, file.New, 32 * 1024, 10ms);
      }
    }
    list += "</UpdateList>";
    if (stalled == "/Download/Update.xml") {
      server.StallBeforeResponse(stalled, list);
    } else {
      server.Serve("/Download/Update.xml", list, 200, "text/xml");
    }
  }

  // Each target holds its old or its new content, whole; beside the
  // targets lie only their ".update" files and the records of those
  // (".resume"). Returns how many are new.
  static int ExpectWholeAndClean(const Installation& installation,
                                 const std::vector<Listed>& files) {
    int updated = 0;
    std::set<fs::path> allowed{"varo-update", "Tandrel.exe", "data", "data/sub"};
    for (const Listed& file : files) {
      const fs::path target = installation / file.Relative();
      allowed.insert(file.Relative());
      allowed.insert(fs::path(file.Relative()) += ".update");
      allowed.insert(fs::path(file.Relative()) += ".resume");
      if (!fs::exists(target)) {
        EXPECT_TRUE(file.Old.empty()) << file.Name << " lost its old content";
        continue;
      }
      const std::string content = gui_test::ReadFile(target);
      if (content == file.New) {
        ++updated;
      } else {
        EXPECT_EQ(content, file.Old) << file.Name << " is neither old nor new, whole";
      }
    }
    for (const auto& entry : fs::recursive_directory_iterator(installation.Path())) {
      const fs::path relative = entry.path().lexically_relative(installation.Path());
      if (*relative.begin() == "ADImage" || relative.extension() == ".log") {
        continue;
      }
      EXPECT_TRUE(allowed.contains(relative)) << "left behind: " << relative;
    }
    return updated;
  }
};

TEST_P(VaroUpdateKillTest, EveryFileStaysWholeAndTheNextRunCompletes) {
  const KillPoint& point = GetParam();
  const std::vector<Listed> files = Files();
  auto first = std::make_unique<test::TestHttpServer>();
  Serve(*first, files, point.AwaitRequest);
  Installation installation(first->Url("/Download/Update.xml"));
  for (const Listed& file : files) {
    if (!file.Old.empty()) {
      test::WriteFile(installation / file.Relative(), file.Old);
    }
  }

  auto program = installation.Run();
  if (!point.AwaitRequest.empty()) {
    ASSERT_TRUE(first->WaitForRequests(point.AwaitRequest, 1, 20s)) << installation.Log();
    if (point.AwaitRecord) {
      // The download has run long enough to leave its record, whole (it is
      // written after it is created).
      const fs::path record =
          installation / ("data/sub" + point.AwaitRequest.substr(6) + ".resume");
      const auto deadline = std::chrono::steady_clock::now() + 20s;
      while (!ReadResumeRecord(record) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
      }
      ASSERT_TRUE(ReadResumeRecord(record).has_value()) << installation.Log();
    } else if (point.AwaitRequest != "/Download/Update.xml") {
      // Half of the file is on its way to the disk.
      std::this_thread::sleep_for(100ms);
    }
  } else {
    std::this_thread::sleep_for(point.After);
  }
  program->Kill(9);
  ASSERT_TRUE(program->Wait(10s));
  const int updatedBefore = ExpectWholeAndClean(installation, files);
  if (updatedBefore < static_cast<int>(files.size())) {
    EXPECT_FALSE(installation.ClientStarted()) << "the client waits for the whole update";
  }

  // The next run, against a server that answers everything, completes it.
  // A record names the URL it belongs to: to be continued, the stalled file
  // comes from the same server, which now honours ranges.
  std::uintmax_t kept = 0;
  std::unique_ptr<test::TestHttpServer> second;
  test::TestHttpServer* next = nullptr;
  if (point.AwaitRecord) {
    kept = fs::file_size(fs::path(installation / ("data/sub" + point.AwaitRequest.substr(6))) +=
                         ".update");
    first->Release();  // the held answer goes to the closed connection
    Serve(*first, files, "", point.AwaitRequest);
    next = first.get();
  } else {
    first.reset();
    second = std::make_unique<test::TestHttpServer>();
    Serve(*second, files, "");
    test::WriteFile(installation / "ADImage" / "xxxxx_system.ini",
                    "[UpdateServer]\r\nserver1=" + second->Url("/Download/Update.xml") + "\r\n");
    next = second.get();
  }
  auto rerun = installation.Run("second-run.log");
  EXPECT_EQ(rerun->Wait(60s), 0) << installation.Log("second-run.log");
  EXPECT_EQ(ExpectWholeAndClean(installation, files), static_cast<int>(files.size()));
  EXPECT_TRUE(installation.ClientStarted());
  for (const Listed& file : files) {
    EXPECT_FALSE(fs::exists(fs::path(installation / file.Relative()) += ".update")) << file.Name;
  }
  if (point.AwaitRecord) {
    ASSERT_GT(kept, 0u) << "the record came before any byte reached the side file";
    const auto requests = next->Requests();
    const auto asked = std::find_if(requests.rbegin(), requests.rend(), [&](const auto& request) {
      return request.Path == point.AwaitRequest;
    });
    ASSERT_NE(asked, requests.rend());
    EXPECT_EQ(asked->Header("Range"), "bytes=" + std::to_string(kept) + "-");
  }
  RecordProperty("updated_before_kill", updatedBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Points, VaroUpdateKillTest,
    ::testing::Values(KillPoint{"WhileTheListComes", "/Download/Update.xml"},
                      KillPoint{"InTheMiddleOfASmallFile", "/files/file2.dat"},
                      KillPoint{"InTheMiddleOfABigFile", "/files/file7.dat", 0ms, true},
                      KillPoint{"At100ms", "", 100ms}, KillPoint{"At400ms", "", 400ms},
                      KillPoint{"At700ms", "", 700ms}, KillPoint{"At1000ms", "", 1000ms},
                      KillPoint{"At1300ms", "", 1300ms}, KillPoint{"At1600ms", "", 1600ms},
                      KillPoint{"At1900ms", "", 1900ms}, KillPoint{"At2100ms", "", 2100ms},
                      KillPoint{"At2300ms", "", 2300ms}),
    [](const ::testing::TestParamInfo<KillPoint>& param) { return param.param.Name; });

}  // namespace
}  // namespace varo

#else

TEST(VaroUpdateKillTest, NeedsTheDesktopProgram) {
  GTEST_SKIP() << "built without the GTK front-end";
}

#endif
