#include "transfer/COrlanThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transfer/ManualResetEvent.h"

namespace varo {
namespace {

using namespace std::chrono_literals;

// What happened to the threads of a test, in order; outlives the objects.
class Log {
 public:
  void Add(std::string entry) {
    std::lock_guard guard(Mutex);
    Entries.push_back(std::move(entry));
  }
  std::vector<std::string> Get() const {
    std::lock_guard guard(Mutex);
    return Entries;
  }

 private:
  mutable std::mutex Mutex;
  std::vector<std::string> Entries;
};

// A run that waits at a gate, as a download waits for its server; the
// destructor opens the gate (as a job's cancel would) and then stops.
class GatedThread final : public COrlanThread {
 public:
  explicit GatedThread(Log& log) : Events(log) {}
  ~GatedThread() override {
    Gate.Set();
    StopThread();
    Events.Add("stopped");
  }

  bool Start() {
    return StartThread([this] { Events.Add("reset"); });
  }

  ManualResetEvent Gate{false};
  ManualResetEvent Started{false};  // set when a run begins
  std::thread::id RunThread;        // written by the run before Started

  using COrlanThread::IdleEvent;
  using COrlanThread::ThreadHandle;
  using COrlanThread::ThreadId;

 protected:
  void Run() override {
    RunThread = std::this_thread::get_id();
    Events.Add("run");
    Started.Set();
    Gate.Wait();
    Events.Add("run-end");
  }

 private:
  Log& Events;
};

TEST(COrlanThreadTest, NeverStartedObjectGoesAtOnce) {
  Log log;
  {
    GatedThread thread(log);
    EXPECT_TRUE(thread.IdleEvent.IsSet());
    EXPECT_EQ(thread.ThreadHandle.load(), nullptr);
    EXPECT_EQ(thread.ThreadId, std::thread::id());
  }
  EXPECT_EQ(log.Get(), std::vector<std::string>{"stopped"});
}

TEST(COrlanThreadTest, RunOnAWorkerThenReapedByTheStop) {
  Log log;
  {
    GatedThread thread(log);
    ASSERT_TRUE(thread.Start());
    thread.Started.Wait();
    EXPECT_FALSE(thread.IdleEvent.IsSet());
    EXPECT_NE(thread.ThreadHandle.load(), nullptr);
    EXPECT_EQ(thread.ThreadId, thread.RunThread);
    EXPECT_NE(thread.RunThread, std::this_thread::get_id());
    thread.Gate.Set();
    ASSERT_TRUE(thread.IdleEvent.WaitFor(10s));
    // Finished, not yet reaped.
    EXPECT_NE(thread.ThreadHandle.load(), nullptr);
  }
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"reset", "run", "run-end", "stopped"}));
}

TEST(COrlanThreadTest, DeletingDuringARunWaitsForIt) {
  Log log;
  {
    GatedThread thread(log);
    ASSERT_TRUE(thread.Start());
    thread.Started.Wait();
    // The gate is still shut: the destructor opens it and must wait for the
    // run to return before it goes on.
  }
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"reset", "run", "run-end", "stopped"}));
}

TEST(COrlanThreadTest, StartWaitsForThePreviousRunAndReapsIt) {
  Log log;
  {
    GatedThread thread(log);
    ASSERT_TRUE(thread.Start());
    thread.Started.Wait();
    thread.Started.Reset();
    std::thread opener([&] { thread.Gate.Set(); });
    // Blocks until the first run has returned; its reset point comes after.
    ASSERT_TRUE(thread.Start());
    opener.join();
    thread.Started.Wait();
    EXPECT_NE(thread.ThreadHandle.load(), nullptr);
    EXPECT_EQ(thread.ThreadId, thread.RunThread);
  }
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"reset", "run", "run-end", "reset", "run",
                                                 "run-end", "stopped"}));
}

TEST(COrlanThreadTest, RestartingAFinishedObject) {
  Log log;
  {
    GatedThread thread(log);
    thread.Gate.Set();
    for (int run = 0; run < 3; ++run) {
      ASSERT_TRUE(thread.Start());
      ASSERT_TRUE(thread.IdleEvent.WaitFor(10s));
    }
  }
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"reset", "run", "run-end", "reset", "run",
                                                 "run-end", "reset", "run", "run-end", "stopped"}));
}

}  // namespace
}  // namespace varo
