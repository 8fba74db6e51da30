#include "transfer/CInetFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageQueue.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace varo {
namespace {

using namespace std::chrono_literals;

// A job that notes its deletion.
class NamedJob final : public CInetFile {
 public:
  NamedJob(std::string name, std::vector<std::string>& deleted)
      : Name(std::move(name)), Deleted(deleted) {}
  ~NamedJob() override { Deleted.push_back(Name); }

  const std::string Name;

 private:
  std::vector<std::string>& Deleted;
};

TEST(CInetFilesTest, OrderHeadRemoveAndRemoveAll) {
  std::vector<std::string> deleted;
  CInetFiles jobs;
  EXPECT_EQ(jobs.GetHead(), nullptr);
  EXPECT_FALSE(jobs.Add(nullptr));
  EXPECT_EQ(jobs.GetCount(), 0u);
  std::vector<CInetFile*> added;
  for (const char* name : {"A", "B", "C"}) {
    auto job = std::make_unique<NamedJob>(name, deleted);
    added.push_back(job.get());
    EXPECT_TRUE(jobs.Add(std::move(job)));
  }
  EXPECT_EQ(jobs.GetCount(), 3u);
  EXPECT_EQ(jobs.GetHead(), added[0]);
  EXPECT_EQ(jobs.GetHead(), added[0]);

  jobs.Remove(added[0]);
  EXPECT_EQ(deleted, std::vector<std::string>{"A"});
  EXPECT_EQ(jobs.GetHead(), added[1]);
  EXPECT_EQ(jobs.GetCount(), 2u);

  jobs.RemoveAll();
  EXPECT_EQ(deleted, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(jobs.GetCount(), 0u);
  EXPECT_EQ(jobs.GetHead(), nullptr);
}

TEST(CInetFilesTest, DestroyingTheListDeletesHeadFirst) {
  std::vector<std::string> deleted;
  {
    CInetFiles jobs;
    jobs.Add(std::make_unique<NamedJob>("A", deleted));
    jobs.Add(std::make_unique<NamedJob>("B", deleted));
  }
  EXPECT_EQ(deleted, (std::vector<std::string>{"A", "B"}));
}

// Removing a job whose run waits for a stalled server cancels the run and
// returns only after the run has ended (its completion is already posted).
TEST(CInetFilesTest, RemovingARunningJobCancelsAndWaits) {
  test::TempDir dir;
  test::TestHttpServer server;
  server.StallBeforeResponse("/hang", "never sent");
  platform::MessageQueue queue;
  std::vector<std::string> deleted;
  for (const bool wholeList : {false, true}) {
    SCOPED_TRACE(wholeList ? "list destroyed" : "job removed");
    {
      CInetFiles jobs;
      auto job = std::make_unique<NamedJob>("running", deleted);
      job->URL = server.Url("/hang");
      job->LocalFile = dir / "hang";
      job->NotifyWindow = &queue;
      CInetFile* const running = job.get();
      jobs.Add(std::move(job));
      ASSERT_TRUE(jobs.GetHead()->Start());
      ASSERT_TRUE(server.WaitForRequests("/hang", wholeList ? 2 : 1));
      if (!wholeList) {
        jobs.Remove(running);
        EXPECT_EQ(jobs.GetCount(), 0u);
      }
    }
    const auto message = queue.Take();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Id, WM_INETFILE_COMPLETE);
    EXPECT_EQ(message->WParam & 0xFFFFu, static_cast<std::uint32_t>(INETFILE_CANCELLED));
    EXPECT_EQ(queue.Size(), 0u);
  }
  EXPECT_EQ(deleted, (std::vector<std::string>{"running", "running"}));
}

}  // namespace
}  // namespace varo
