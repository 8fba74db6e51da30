#pragma once

#include <atomic>
#include <cstdint>

namespace varo::platform {

// A window message as the core exchanges it: the message number and its two
// parameters.
struct Message {
  std::uint32_t Id = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;

  friend bool operator==(const Message&, const Message&) = default;
};

// Where messages for a window are posted. Post may be called from any thread;
// it queues the message and returns at once, without waiting for it to be
// handled. Messages posted from one thread are handled in the order posted.
class MessagePoster {
 public:
  virtual ~MessagePoster() = default;
  virtual void Post(const Message& message) = 0;
  // As Post, for a message that may wait for the window to catch up: a
  // poster that bounds its backlog waits here while too many messages are
  // waiting, until the window has taken some or stop is set; then it posts.
  // Posters without a bound post at once.
  virtual void PostPaced(const Message& message, const std::atomic<bool>& stop) {
    static_cast<void>(stop);
    Post(message);
  }
};

}  // namespace varo::platform
