#include "transfer/ManualResetEvent.h"

namespace varo {

ManualResetEvent::ManualResetEvent(bool initiallySet) : Signalled(initiallySet) {}

void ManualResetEvent::Set() {
  // Notify while holding the lock: a released waiter cannot return (and
  // destroy this event) before this call has stopped touching it.
  std::lock_guard guard(Mutex);
  Signalled = true;
  Changed.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard guard(Mutex);
  Signalled = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard guard(Mutex);
  return Signalled;
}

void ManualResetEvent::Wait() const {
  std::unique_lock lock(Mutex);
  Changed.wait(lock, [this] { return Signalled; });
}

bool ManualResetEvent::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [this] { return Signalled; });
}

}  // namespace varo
