#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace varo {

// A flag that threads can wait for: once set it stays set, and releases every
// waiter, until it is reset. Any thread may call any operation.
//
// Set may be the last thing a thread does with the object that holds the
// event: the waiter that it releases may destroy that object at once.
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initiallySet);
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // Waits without limit until the event is set.
  void Wait() const;

  // Waits up to timeout; true when the event is set.
  bool WaitFor(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  bool Signalled;  // guarded by Mutex
};

}  // namespace varo
