#include "platform/MessageQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>
#include <vector>

namespace varo::platform {
namespace {

Message Numbered(std::uintptr_t n) {
  return {0x8001, n, 0};
}

// Spins (yielding) until the queue has a poster waiting for room.
void UntilWaiting(const MessageQueue& queue, std::size_t posters = 1) {
  while (queue.WaitingPosters() < posters) {
    std::this_thread::yield();
  }
}

TEST(MessageQueue, WakesOnlyWhenAPostFindsItEmpty) {
  int wakes = 0;
  MessageQueue queue([&] { ++wakes; });
  queue.Post(Numbered(0));
  queue.Post(Numbered(1));
  queue.Post(Numbered(2));
  EXPECT_EQ(wakes, 1);
  ASSERT_TRUE(queue.Take());
  queue.Post(Numbered(3));  // two still wait: nobody to wake
  EXPECT_EQ(wakes, 1);
  std::deque<Message> taken;
  EXPECT_EQ(queue.TakeAll(taken), 3u);
  queue.Post(Numbered(4));
  EXPECT_EQ(wakes, 2);
  const std::atomic<bool> stop = false;
  ASSERT_TRUE(queue.Take());
  queue.PostPaced(Numbered(5), stop);
  EXPECT_EQ(wakes, 3);
}

TEST(MessageQueue, TakeAllAppendsInPostingOrderAndEmpties) {
  MessageQueue queue;
  std::deque<Message> taken{Numbered(100)};
  EXPECT_EQ(queue.TakeAll(taken), 0u);
  for (std::uintptr_t n = 0; n < 5; ++n) {
    queue.Post(Numbered(n));
  }
  EXPECT_EQ(queue.TakeAll(taken), 5u);
  EXPECT_EQ(queue.Size(), 0u);
  const std::deque<Message> expected{Numbered(100), Numbered(0), Numbered(1),
                                     Numbered(2),   Numbered(3), Numbered(4)};
  EXPECT_EQ(taken, expected);
}

TEST(MessageQueue, PacedPostWaitsForRoomThenKeepsItsPlace) {
  MessageQueue queue({}, 3);
  const std::atomic<bool> stop = false;
  for (std::uintptr_t n = 0; n < 3; ++n) {
    queue.PostPaced(Numbered(n), stop);  // below the limit: no wait
  }
  queue.Post(Numbered(3));  // a plain post never waits, even past the limit
  std::thread poster([&] { queue.PostPaced(Numbered(4), stop); });
  UntilWaiting(queue);
  EXPECT_EQ(queue.Size(), 4u) << "the paced post went in past the limit";
  // One taken leaves four minus one = 3 waiting: still no room.
  ASSERT_EQ(queue.Take(), Numbered(0));
  EXPECT_EQ(queue.WaitingPosters(), 1u);
  std::deque<Message> taken;
  EXPECT_EQ(queue.TakeAll(taken), 3u);
  poster.join();
  EXPECT_EQ(queue.WaitingPosters(), 0u);
  EXPECT_EQ(queue.Take(), Numbered(4));
  EXPECT_FALSE(queue.Take());
}

TEST(MessageQueue, StopEndsTheWaitAndTheMessageIsStillPosted) {
  MessageQueue queue({}, 1);
  std::atomic<bool> stop = false;
  queue.Post(Numbered(0));
  std::thread poster([&] { queue.PostPaced(Numbered(1), stop); });
  UntilWaiting(queue);
  stop = true;  // nobody takes: only the stop can end the wait
  poster.join();
  std::deque<Message> taken;
  EXPECT_EQ(queue.TakeAll(taken), 2u);
  EXPECT_EQ(taken.back(), Numbered(1));
}

TEST(MessageQueue, ManyPacedPostersLoseNothingAndKeepTheirOrder) {
  constexpr std::size_t kLimit = 8;
  constexpr std::uintptr_t kEach = 5000;
  MessageQueue queue({}, kLimit);
  const std::atomic<bool> stop = false;
  std::vector<std::thread> posters;
  for (std::intptr_t t = 0; t < 3; ++t) {
    posters.emplace_back([&, t] {
      for (std::uintptr_t n = 0; n < kEach; ++n) {
        queue.PostPaced({0x8001, n, t}, stop);
      }
    });
  }
  std::vector<std::uintptr_t> next(3, 0);
  std::size_t deepest = 0;
  std::size_t received = 0;
  while (received < 3 * kEach) {
    deepest = std::max(deepest, queue.Size());
    if (const auto message = queue.Take()) {
      EXPECT_EQ(message->WParam, next[message->LParam]++);
      ++received;
    } else {
      std::this_thread::yield();
    }
  }
  for (auto& poster : posters) {
    poster.join();
  }
  EXPECT_EQ(next, std::vector<std::uintptr_t>(3, kEach));
  EXPECT_LE(deepest, kLimit);
}

}  // namespace
}  // namespace varo::platform
