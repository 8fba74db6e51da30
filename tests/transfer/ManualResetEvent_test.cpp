#include "transfer/ManualResetEvent.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace varo {
namespace {

using namespace std::chrono_literals;

TEST(ManualResetEventTest, StaysSetUntilReset) {
  ManualResetEvent event(false);
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitFor(0ms));
  std::thread setter([&] { event.Set(); });
  event.Wait();
  setter.join();
  EXPECT_TRUE(event.WaitFor(0ms));
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.WaitFor(1ms));
}

TEST(ManualResetEventTest, SetReleasesEveryWaiter) {
  ManualResetEvent event(false);
  std::vector<std::thread> waiters;
  waiters.reserve(4);
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] { event.Wait(); });
  }
  event.Set();
  for (auto& waiter : waiters) {
    waiter.join();  // hangs if one were left waiting
  }
  EXPECT_TRUE(event.IsSet());
}

}  // namespace
}  // namespace varo
