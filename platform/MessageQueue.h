#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/MessagePoster.h"

namespace varo::platform {

// A thread-safe first-in first-out queue of posted messages. Any thread may
// post; the window's thread takes them out, one at a time or all at once, in
// order.
class MessageQueue final : public MessagePoster {
 public:
  // wake, when given, is called after a post that found the queue empty (on
  // the posting thread, outside the queue's lock), so that a main loop comes
  // and drains: a consumer that was woken must take until the queue is
  // empty, since further posts wake no one until then. limit, when above 0,
  // is the depth at which PostPaced waits for the consumer.
  explicit MessageQueue(std::function<void()> wake = {}, std::size_t limit = 0);

  // Never waits.
  void Post(const Message& message) override;

  // Waits while limit or more messages wait in the queue, until the
  // consumer has taken some or stop is set (looked at every few
  // milliseconds), then posts. With no limit, the same as Post.
  void PostPaced(const Message& message, const std::atomic<bool>& stop) override;

  // The oldest message, removed from the queue; nothing when it is empty.
  std::optional<Message> Take();

  // Moves every waiting message, oldest first, to the end of into; how many.
  std::size_t TakeAll(std::deque<Message>& into);

  // As Take, but waits up to timeout for a message to arrive.
  std::optional<Message> WaitTake(std::chrono::milliseconds timeout);

  std::size_t Size() const;
  // Posters that wait in PostPaced for the queue to shrink.
  std::size_t WaitingPosters() const;

  // How often PostPaced looks at its stop flag while it waits.
  static constexpr std::chrono::milliseconds kStopPoll{5};

 private:
  // Appends under the lock; true when the queue was empty before.
  bool PushLocked(const Message& message);
  // Wakes posters waiting for room once the queue shrank; under the lock.
  void ShrunkLocked();

  const std::function<void()> Wake;
  const std::size_t Limit;
  mutable std::mutex Mutex;
  std::condition_variable Arrived;
  std::condition_variable Room;
  std::deque<Message> Messages;  // guarded by Mutex
  std::size_t Waiting = 0;       // guarded by Mutex
};

}  // namespace varo::platform
