#include "platform/MessageQueue.h"

#include <utility>

namespace varo::platform {

MessageQueue::MessageQueue(std::function<void()> wake) : Wake(std::move(wake)) {}

void MessageQueue::Post(const Message& message) {
  {
    std::lock_guard guard(Mutex);
    Messages.push_back(message);
  }
  Arrived.notify_all();
  if (Wake) {
    Wake();
  }
}

std::optional<Message> MessageQueue::Take() {
  std::lock_guard guard(Mutex);
  if (Messages.empty()) {
    return std::nullopt;
  }
  Message message = Messages.front();
  Messages.pop_front();
  return message;
}

std::optional<Message> MessageQueue::WaitTake(std::chrono::milliseconds timeout) {
  std::unique_lock lock(Mutex);
  if (!Arrived.wait_for(lock, timeout, [this] { return !Messages.empty(); })) {
    return std::nullopt;
  }
  Message message = Messages.front();
  Messages.pop_front();
  return message;
}

std::size_t MessageQueue::Size() const {
  std::lock_guard guard(Mutex);
  return Messages.size();
}

}  // namespace varo::platform
