#pragma once

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
// post; the window's thread takes them out one at a time, in order.
class MessageQueue final : public MessagePoster {
 public:
  // wake, when given, is called after every post (on the posting thread,
  // outside the queue's lock) so that a main loop can come and drain.
  explicit MessageQueue(std::function<void()> wake = {});

  void Post(const Message& message) override;

  // The oldest message, removed from the queue; nothing when it is empty.
  std::optional<Message> Take();

  // As Take, but waits up to timeout for a message to arrive.
  std::optional<Message> WaitTake(std::chrono::milliseconds timeout);

  std::size_t Size() const;

 private:
  const std::function<void()> Wake;
  mutable std::mutex Mutex;
  std::condition_variable Arrived;
  std::deque<Message> Messages;  // guarded by Mutex
};

}  // namespace varo::platform
