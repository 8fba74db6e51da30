#include <gtest/gtest.h>

#ifdef VARO_GUI_TESTS

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/linux/gtk/PostedMessagePump.h"

namespace varo::platform {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kPosted = 0x8001;

// Runs the default context's loop until done says so; false when that takes
// longer than a generous limit (a lost wake-up would hang the loop, so a
// timer wakes it now and then).
template <typename Done>
bool IterateUntilDone(Done done) {
  const guint ticker = g_timeout_add(
      50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  const auto limit = std::chrono::steady_clock::now() + 30s;
  while (!done() && std::chrono::steady_clock::now() < limit) {
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(ticker);
  return done();
}

class PostedMessagePumpTest : public ::testing::Test {
 protected:
  // Drops whatever earlier tests left in the default context.
  void SetUp() override {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }
  // Checks that numbers 0..count-1 arrived in order.
  static void ExpectInOrder(const std::vector<std::uintptr_t>& received, std::uintptr_t count) {
    ASSERT_EQ(received.size(), count);
    for (std::uintptr_t n = 0; n < count; ++n) {
      ASSERT_EQ(received[n], n);
    }
  }
};

TEST_F(PostedMessagePumpTest, AFloodWakesTheLoopOnceAndArrivesInOrder) {
  std::vector<std::uintptr_t> received;
  PostedMessagePump pump([&](const Message& m) { received.push_back(m.WParam); });
  std::thread poster([&] {
    for (std::uintptr_t n = 0; n < 1000; ++n) {
      pump.Post({kPosted, n, 0});
    }
  });
  poster.join();
  EXPECT_EQ(pump.Wakeups(), 1u);
  EXPECT_EQ(pump.Pending(), 1000u);
  ASSERT_TRUE(IterateUntilDone([&] { return pump.Pending() == 0; }));
  ExpectInOrder(received, 1000);
  // Right after a batch the pump listens: a paced post wakes no one, and a
  // look of the pump's own delivers it.
  EXPECT_TRUE(pump.Listening());
  const std::atomic<bool> stop = false;
  pump.PostPaced({kPosted, 1000, 0}, stop);
  EXPECT_EQ(pump.Wakeups(), 1u);
  ASSERT_TRUE(IterateUntilDone([&] { return received.size() == 1001; }));
  // A plain post, as a completion is, wakes the context also while the
  // pump listens, behind the paced posts before it.
  ASSERT_TRUE(pump.Listening());
  pump.PostPaced({kPosted, 1001, 0}, stop);
  pump.Post({kPosted, 1002, 0});
  EXPECT_EQ(pump.Wakeups(), 2u);
  ASSERT_TRUE(IterateUntilDone([&] { return received.size() == 1003; }));
  // Looks that find nothing end the listening; any post wakes the context
  // again.
  ASSERT_TRUE(IterateUntilDone([&] { return !pump.Listening(); }));
  pump.PostPaced({kPosted, 1003, 0}, stop);
  EXPECT_EQ(pump.Wakeups(), 3u);
  ASSERT_TRUE(IterateUntilDone([&] { return received.size() == 1004; }));
  ExpectInOrder(received, 1004);
}

// With no time budget at all, every round of the loop delivers a few
// messages and leaves the rest, which later rounds deliver without any
// further post to wake them.
TEST_F(PostedMessagePumpTest, WhatOneRoundLeavesIsDeliveredByTheNext) {
  std::vector<std::uintptr_t> received;
  PostedMessagePump pump([&](const Message& m) { received.push_back(m.WParam); }, 0us);
  for (std::uintptr_t n = 0; n < 1000; ++n) {
    pump.Post({kPosted, n, 0});
  }
  ASSERT_TRUE(g_main_context_iteration(nullptr, FALSE));
  EXPECT_GT(received.size(), 0u);
  EXPECT_LT(received.size(), 1000u) << "one round ignored its budget";
  ASSERT_TRUE(IterateUntilDone([&] { return received.size() == 1000; }));
  ExpectInOrder(received, 1000);
  EXPECT_EQ(pump.Wakeups(), 1u);
}

// Paced posters wait while the loop is behind, also while a handler runs a
// nested loop (as an error box does), which keeps delivering in order.
TEST_F(PostedMessagePumpTest, PacedPostersWaitForTheLoopAlsoInANestedOne) {
  constexpr std::size_t kLimit = 4;
  constexpr std::uintptr_t kCount = 3000;
  std::vector<std::uintptr_t> received;
  std::size_t deepest = 0;
  bool nested = false;
  std::size_t receivedNested = 0;
  PostedMessagePump* self = nullptr;
  PostedMessagePump pump(
      [&](const Message& m) {
        received.push_back(m.WParam);
        deepest = std::max(deepest, self->Pending());
        if (nested) {
          ++receivedNested;
        }
        if (m.WParam == 10) {
          nested = true;
          // The modal loop of a box, until half the flood has come.
          while (received.size() < kCount / 2) {
            g_main_context_iteration(nullptr, TRUE);
          }
          nested = false;
        }
      },
      4ms, kLimit);
  self = &pump;
  const std::atomic<bool> stop = false;
  std::thread poster([&] {
    for (std::uintptr_t n = 0; n < kCount; ++n) {
      pump.PostPaced({kPosted, n, 0}, stop);
    }
  });
  while (pump.WaitingPosters() == 0) {
    std::this_thread::yield();
  }
  EXPECT_EQ(pump.Pending(), kLimit) << "the poster went past the limit";
  const bool delivered = IterateUntilDone([&] { return received.size() == kCount; });
  poster.join();
  ASSERT_TRUE(delivered);
  ExpectInOrder(received, kCount);
  EXPECT_GE(receivedNested, kCount / 2 - 11);
  // What was taken from the queue and what waits in it.
  EXPECT_LE(deepest, 2 * kLimit);
}

}  // namespace
}  // namespace varo::platform

#else

TEST(PostedMessagePumpTest, NeedsTheDesktopFrontEnd) {
  GTEST_SKIP() << "built without the GTK front-end";
}

#endif
